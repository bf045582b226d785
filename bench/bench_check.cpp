// Writes sessions as the terminal does at the depth camera's default size -
// 1280x720 camera JPEG colour, 1280x720 16-bit depth PNG, 200 Hz IMU lines -
// then checks them and prints frame sets checked per second.
//
//   bench_check [--sets N] [--sessions N] [--jobs N] [--rounds N] [--dir PATH]
//
// The last line, "frame sets per second: X", is meant for scripts.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "SessionCheck.h"

namespace fs = std::filesystem;

namespace {

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

constexpr int kWidth = 1280;
constexpr int kHeight = 720;

// A room-like picture: smooth shading, a few objects, sensor noise.
std::vector<uint8_t> colourJpeg(int index)
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

cv::Mat depthImage(int index)
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

void writeSession(const fs::path& session, int sets)
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

} // namespace

int main(int argc, char** argv)
{
    int sets = 150, sessions = 2, rounds = 3;
    unsigned jobs = 0;
    std::string dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (arg == "--sets") sets = std::max(1, value);
        else if (arg == "--sessions") sessions = std::max(1, value);
        else if (arg == "--jobs") jobs = static_cast<unsigned>(std::max(0, value));
        else if (arg == "--rounds") rounds = std::max(1, value);
        else if (arg == "--dir") dir = argv[i + 1];
    }
    const bool ownDir = dir.empty();
    if (ownDir)
        dir = (fs::temp_directory_path() / ("bench_check_" + std::to_string(::getpid()))).string();
    std::vector<std::string> paths;
    for (int s = 0; s < sessions; ++s) {
        const fs::path session = fs::path(dir) / "20250612-c1-s1/t1/p1" / ("20250612_14300" + std::to_string(s));
        if (!fs::exists(session / "meta.yaml"))
            writeSession(session, sets);
        paths.push_back(session.string());
    }
    const unsigned threads = jobs ? jobs : std::max(1u, std::thread::hardware_concurrency());
    std::printf("%d sessions of %d frame sets at %dx%d, %u threads\n", sessions, sets, kWidth, kHeight, threads);

    double best = 0;
    double bestCpu = 1e9;
    for (int round = 0; round < rounds; ++round) {
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const auto reports = session_check::checkSessions(paths, threads);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        size_t checked = 0, failed = 0;
        for (const auto& report : reports) {
            checked += report.frameSets;
            failed += report.passed() ? 0 : 1;
        }
        const double cpuPerSet = (processCpuSeconds() - cpuStart) / static_cast<double>(std::max<size_t>(1, checked));
        const double rate = static_cast<double>(checked) / seconds;
        best = std::max(best, rate);
        bestCpu = std::min(bestCpu, cpuPerSet);
        std::printf("round %d: %zu frame sets in %.2f s, %.1f per second, %.1f ms CPU each, %zu sessions failed\n",
            round + 1, checked, seconds, rate, cpuPerSet * 1000.0, failed);
    }
    if (ownDir)
        fs::remove_all(dir);
    // On a shared machine the wall clock depends on the neighbours; the CPU
    // time says what the threads would do with their cores to themselves.
    std::printf("frame sets per second with %u idle cores (from CPU time): %.1f\n", threads, threads / bestCpu);
    std::printf("frame sets per second: %.1f\n", best);
    return 0;
}
