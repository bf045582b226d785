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

#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "SessionCheck.h"
#include "SyntheticSession.h"
#include "ProcessCpu.h"

namespace fs = std::filesystem;
using namespace synthetic_session;

namespace {

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
