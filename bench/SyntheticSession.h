#pragma once
// Sessions as the terminal writes them at the depth camera's default size -
// 1280x720 camera JPEG colour under .png names, 1280x720 16-bit depth PNG,
// 200 Hz IMU lines - for the benchmarks that read sessions.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace synthetic_session {

namespace fs = std::filesystem;

inline constexpr int kWidth = 1280;
constexpr int kHeight = 720;

// A room-like picture: smooth shading, a few objects, sensor noise.
inline std::vector<uint8_t> colourJpeg(int index)
{
    cv::Mat image(kHeight, kWidth, CV_8UC3);
    for (int y = 0; y < kHeight; ++y)
        image.row(y).setTo(cv::Scalar(90 + y / 8, 100 + y / 10, 110));
    cv::rectangle(image, {200 + index % 400, 300, 180, 160}, {30, 120, 230}, cv::FILLED);
    cv::circle(image, {900, 200 + index % 200}, 70, {40, 200, 60}, cv::FILLED);
    cv::putText(image, "frame " + std::to_string(index), {40, 60}, cv::FONT_HERSHEY_SIMPLEX, 1.5, {255, 255, 255}, 2);
    cv::Mat noise(image.size(), image.type());
    cv::randn(noise, 0, 4);
    image += noise;
    std::vector<uint8_t> bytes;
    cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
    return bytes;
}

inline cv::Mat depthImage(int index)
{
    cv::Mat depth(kHeight, kWidth, CV_16UC1);
    for (int y = 0; y < kHeight; ++y)
        depth.row(y).setTo(y < kHeight / 2 ? 3000 : 3000 - (y - kHeight / 2) * 3);
    cv::rectangle(depth, {200 + index % 400, 300, 180, 160}, 1500, cv::FILLED);
    cv::circle(depth, {900, 200 + index % 200}, 70, 900, cv::FILLED);
    cv::Mat noise(depth.size(), CV_16SC1);
    cv::randn(noise, 0, 6);
    cv::add(depth, noise, depth, cv::noArray(), CV_16UC1);
    return depth;
}

inline void writeSession(const fs::path& session, int sets)
{
    fs::create_directories(session / "D1/color");
    fs::create_directories(session / "D1/depth");
    std::ofstream(session / "meta.yaml") << "date: 20250612\ncity: c1\nmachine_id: BENCH\nscene_label: s1\n"
                                            "task_label: t1\npart_number: p1\nsession_time: "
                                         << session.filename().string()
                                         << "\ncapture_mode: continue_record\ndevice_config:\n  capture_freq: 30\n"
                                            "  camera1:\n    camera_type_str: Gemini_corlor\n    camera_id: 0\n"
                                            "    width: 1280\n    height: 720\n    fps: 30\n    exposure_time: 0.0\n"
                                            "  camera2:\n    camera_type_str: Gemini_depeth\n    camera_id: 0\n"
                                            "    width: 1280\n    height: 720\n    fps: 30\n    exposure_time: 0.0\n"
                                            "  camera3:\n    camera_type_str: usb_camera\n    camera_id: 0\n"
                                            "    width: 1280\n    height: 720\n    fps: 30\n    exposure_time: 0.0\n";
    std::ofstream imu(session / "D1/data.json");
    imu << "{\"version\":\"1.0.0\"}\n";
    const double start = 1718201415.0;
    for (int i = 0; i < sets * 200 / 30; ++i) {
        const double t = start + i * 0.005;
        imu << "{\"sensor\":{\"type\":\"accelerometer\",\"values\":[0.01,-9.79,0.12]},\"time\":" << std::fixed << t << "}\n"
            << "{\"sensor\":{\"type\":\"gyroscope\",\"values\":[0.0,0.002,-0.001]},\"time\":" << t << "}\n";
    }
    for (int i = 0; i < sets; ++i) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "20250612143%03d%03d", i / 30, (i % 30) * 33);
        const auto jpeg = colourJpeg(i);
        std::ofstream(session / "D1/color" / (std::string(stamp) + ".png"), std::ios::binary)
            .write(reinterpret_cast<const char*>(jpeg.data()), static_cast<std::streamsize>(jpeg.size()));
        cv::imwrite((session / "D1/depth" / (std::string(stamp) + ".png")).string(), depthImage(i));
    }
}

} // namespace synthetic_session
