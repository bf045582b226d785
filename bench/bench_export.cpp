// Writes a session as the terminal does (default: 60 s at 30 fps, 1280x720
// colour JPEG and 16-bit depth PNG, 200 Hz IMU), exports it as MCAP and
// prints frame sets per second and MB/s.
//
//   bench_export [--seconds N] [--fps N] [--jobs N] [--rounds N] [--dir PATH]
//
// The last line, "frame sets per second: X", is meant for scripts.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

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
    if (!fs::exists(session / "meta.yaml"))
        synthetic_session::writeSession(session, sets);
    const double inputMB = static_cast<double>(folderBytes(session)) / 1e6;
    const unsigned threads = jobs ? jobs : std::max(1u, std::thread::hardware_concurrency());
    std::printf("a session of %d frame sets (%.0f MB) at %dx%d, %u threads\n", sets, inputMB,
        synthetic_session::kWidth, synthetic_session::kHeight, threads);

    const auto report = session_check::checkSession(session.string(), threads);
    session_export::Options options;
    options.outDir = (fs::path(dir) / "out").string();
    options.threads = threads;
    fs::create_directories(options.outDir);
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        const double cpuStart = processCpuSeconds();
        const auto start = std::chrono::steady_clock::now();
        const auto result = session_export::exportMcap(report, options);
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double cpu = processCpuSeconds() - cpuStart;
        if (!result.ok()) {
            std::printf("export failed: %s\n", result.error.c_str());
            return 1;
        }
        const double outputMB = static_cast<double>(fs::file_size(result.output)) / 1e6;
        const double rate = sets / wall;
        best = std::max(best, rate);
        std::printf("round %d: %.2f s, %.1f frame sets/s, %.1f MB/s read, %.1f MB/s written (%.0f MB), "
                    "%.1f ms CPU per frame set, %zu left out\n",
            round + 1, wall, rate, inputMB / wall, outputMB / wall, outputMB, cpu * 1000.0 / sets, result.leftOut.size());
    }
    if (ownDir)
        fs::remove_all(dir);
    std::printf("frame sets per second: %.1f\n", best);
    return 0;
}
