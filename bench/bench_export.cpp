// Writes a session as the terminal does (default: 60 s at 30 fps, 1280x720
// colour JPEG and 16-bit depth PNG, 200 Hz IMU, with calibration.json,
// clock.json and frames.csv), exports it as MCAP and in the TUM layout and
// prints frame sets per second and MB/s for each.
//
//   bench_export [--seconds N] [--fps N] [--jobs N] [--rounds N] [--dir PATH]
//
// The last lines, "<format> frame sets per second: X", are meant for scripts.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "SessionCheck.h"
#include "SessionExport.h"
#include "SyntheticSession.h"
#include "ProcessCpu.h"

namespace fs = std::filesystem;

namespace {

uintmax_t folderBytes(const fs::path& folder)
{
    uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            total += entry.file_size();
    return total;
}

// The files a calibrated depth camera adds: image device times 33333 µs apart, received 8 ms later.
void addCalibration(const fs::path& device)
{
    std::ofstream(device / "calibration.json")
        << R"({"format_version":1,"calibration_known":true,"depth_aligned_to":"color","depth_unit_m":0.001,)"
           R"("streams":{"color":{"width":1280,"height":720,"intrinsics":{"fx":640.1,"fy":640.2,"cx":639.5,"cy":359.5},)"
           R"("distortion":{"model":"brown_conrady","coefficients":{"k1":0.1,"k2":-0.1,"k3":0,"k4":0,"k5":0,"k6":0,"p1":0,"p2":0}}},)"
           R"("depth":{"width":1280,"height":720,"intrinsics":{"fx":640.1,"fy":640.2,"cx":639.5,"cy":359.5},)"
           R"("distortion":{"model":"brown_conrady","coefficients":{"k1":0,"k2":0,"k3":0,"k4":0,"k5":0,"k6":0,"p1":0,"p2":0}}}},)"
           R"("extrinsics":{"depth_to_color":{"rotation":[1,0,0,0,1,0,0,0,1],"translation_m":[-0.015,0,0]},)"
           R"("imu_to_color":{"rotation":[1,0,0,0,1,0,0,0,1],"translation_m":[0.006,0.005,-0.012]}}})";
    std::vector<std::string> stems;
    for (const auto& entry : fs::directory_iterator(device / "color"))
        stems.push_back(entry.path().stem().string());
    std::sort(stems.begin(), stems.end());
    std::ofstream(device / "clock.json") << R"({"format_version":1,"runs":[{"first_device_us":1000000,"last_device_us":)"
                                         << 1000000 + stems.size() * 33333
                                         << R"(,"device_us_ref":1000000,"utc_ns_ref":1749731400000000000,"drift_ppm":12.5,)"
                                         << R"("pairs":)" << stems.size() << "}]}";
    std::ofstream frames(device / "frames.csv");
    frames << "set,color_file,depth_file,color_device_us,depth_device_us,color_index,depth_index,host_utc_ns,snapshot_id\n";
    for (size_t i = 0; i < stems.size(); ++i)
        frames << i + 1 << ",color/" << stems[i] << ".png,depth/" << stems[i] << ".png," << 1000000 + i * 33333 << ","
               << 1000000 + i * 33333 + 100 << "," << i + 1 << "," << i + 1 << ","
               << 1749731400000000000ULL + i * 33333000ULL + 8000000ULL << ",\n";
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60, fps = 30, rounds = 2;
    unsigned jobs = 0;
    std::string dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (arg == "--seconds") seconds = std::max(1, value);
        else if (arg == "--fps") fps = std::max(1, std::min(value, 30));
        else if (arg == "--jobs") jobs = static_cast<unsigned>(std::max(0, value));
        else if (arg == "--rounds") rounds = std::max(1, value);
        else if (arg == "--dir") dir = argv[i + 1];
    }
    const bool ownDir = dir.empty();
    if (ownDir)
        dir = (fs::temp_directory_path() / ("bench_export_" + std::to_string(::getpid()))).string();
    const int sets = seconds * fps;
    const fs::path session = fs::path(dir) / "20250612-c1-s1/t1/p1/20250612_143000";
    if (!fs::exists(session / "meta.yaml")) {
        synthetic_session::writeSession(session, sets);
        addCalibration(session / "D1");
    }
    const double inputMB = static_cast<double>(folderBytes(session)) / 1e6;
    const unsigned threads = jobs ? jobs : std::max(1u, std::thread::hardware_concurrency());
    std::printf("a session of %d frame sets (%.0f MB) at %dx%d, %u threads\n", sets, inputMB,
        synthetic_session::kWidth, synthetic_session::kHeight, threads);

    const auto report = session_check::checkSession(session.string(), threads);
    std::vector<std::pair<const char*, double>> best;
    for (const auto format : {session_export::Format::Mcap, session_export::Format::Tum}) {
        const char* name = format == session_export::Format::Mcap ? "MCAP" : "TUM";
        session_export::Options options;
        options.outDir = (fs::path(dir) / "out").string();
        options.threads = threads;
        options.format = format;
        fs::create_directories(options.outDir);
        double fastest = 0;
        for (int round = 0; round < rounds; ++round) {
            const double cpuStart = processCpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            const auto result = session_export::exportSessions({report}, options).front();
            const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double cpu = processCpuSeconds() - cpuStart;
            if (!result.ok()) {
                std::printf("%s export failed: %s\n", name, result.error.c_str());
                return 1;
            }
            const double outputMB = static_cast<double>(
                fs::is_directory(result.output) ? folderBytes(result.output) : fs::file_size(result.output)) / 1e6;
            const double rate = sets / wall;
            fastest = std::max(fastest, rate);
            std::printf("%s round %d: %.2f s, %.1f frame sets/s, %.1f MB/s read, %.1f MB/s written (%.0f MB), "
                        "%.1f ms CPU per frame set, %zu left out\n",
                name, round + 1, wall, rate, inputMB / wall, outputMB / wall, outputMB, cpu * 1000.0 / sets,
                result.leftOut.size());
            fs::remove_all(result.output);
        }
        best.emplace_back(name, fastest);
    }
    if (ownDir)
        fs::remove_all(dir);
    for (const auto& [name, rate] : best)
        std::printf("%s frame sets per second: %.1f\n", name, rate);
    return 0;
}
