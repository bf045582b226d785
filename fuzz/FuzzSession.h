#pragma once
// A small session in a scratch folder of its own, as the terminal writes one:
// meta.yaml, two frame sets of 8x8 JPEG colour and 16-bit PNG depth, IMU
// lines and a manifest. A target replaces one file with its input and checks.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "SessionCheck.h"

namespace fuzz {

inline void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string encoded(const char* extension, const cv::Mat& image)
{
    std::vector<uchar> bytes;
    cv::imencode(extension, image, bytes);
    return std::string(bytes.begin(), bytes.end());
}

class ScratchSession {
public:
    explicit ScratchSession(const std::string& mode)
    {
        char folder[] = "/tmp/kavrel-fuzz-XXXXXX";
        root_ = ::mkdtemp(folder) ? folder : "/tmp";
        path_ = root_ + "/20250612_143000";
        std::filesystem::create_directories(path_ + "/D1/color");
        std::filesystem::create_directories(path_ + "/D1/depth");
        originals_["meta.yaml"] = "date: '20250612'\ncity: c1\nmachine_id: M\nscene_label: s1\ntask_label: t1\n"
                                  "part_number: p1\nsession_time: 20250612_143000\ncapture_mode: " + mode + "\n"
                                  "device_config:\n  capture_freq: 30\n"
                                  "  camera1: {camera_type_str: Gemini_corlor, camera_id: 0, width: 8, height: 8, fps: 30, exposure_time: 0.0}\n"
                                  "  camera2: {camera_type_str: Gemini_depeth, camera_id: 0, width: 8, height: 8, fps: 30, exposure_time: 0.0}\n"
                                  "  camera3: {camera_type_str: usb_camera, camera_id: 0, width: 8, height: 8, fps: 30, exposure_time: 0.0}\n";
        std::string manifest = "{";
        for (const char* stem : {"20250612143000000", "20250612143000033"}) {
            originals_[std::string("D1/color/") + stem + ".png"] = encoded(".jpg", cv::Mat(8, 8, CV_8UC3, cv::Scalar(9, 99, 199)));
            originals_[std::string("D1/depth/") + stem + ".png"] = encoded(".png", cv::Mat(8, 8, CV_16UC1, cv::Scalar(900)));
            manifest += std::string(manifest.size() > 1 ? "," : "") + "\"" + stem + "\":{\"files\":[\"D1/color/" + stem
                + ".png\",\"D1/depth/" + stem + ".png\"],\"tags\":[]}";
        }
        originals_["manifest.json"] = manifest + "}";
        std::string imu = "{\"version\":\"1.0.0\"}\n";
        for (int i = 0; i < 8; ++i)
            imu += "{\"sensor\":{\"type\":\"accelerometer\",\"values\":[0.1,0.2,9.8]},\"time\":" + std::to_string(1749738600.0 + i * 0.005) + "}\n";
        originals_["D1/data.json"] = imu;
        for (const auto& [relative, bytes] : originals_)
            writeFile(path_ + "/" + relative, bytes);
    }
    ~ScratchSession()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    // Puts `bytes` in place of one file, checks the session, restores the file.
    session_check::SessionReport checkWith(const std::string& relative, const uint8_t* data, size_t size)
    {
        writeFile(path_ + "/" + relative, std::string(reinterpret_cast<const char*>(data), size));
        session_check::SessionReport report = session_check::checkSession(path_, 1);
        writeFile(path_ + "/" + relative, originals_[relative]);
        return report;
    }

    const std::string& path() const { return path_; }
    std::string original(const std::string& relative) { return originals_[relative]; }

private:
    std::string root_, path_;
    std::map<std::string, std::string> originals_;
};

} // namespace fuzz
