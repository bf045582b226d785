// kavrel-export: writes session folders as MCAP files (ROS 2 profile), one
// per session, or in the TUM RGB-D layout, one folder per session. Exit status: 0 every session exported whole, 1 a session was
// refused, failed or exported with parts left out, 2 bad usage.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ImageHeader.h"
#include "SessionCheck.h"
#include "SessionExport.h"

namespace {

void printUsage(FILE* out)
{
    std::fputs("Usage: kavrel-export [--format mcap|tum] [--out DIR] [--jobs N] [--force] SESSION...\n"
               "Writes each session folder given (or found below the folders given) as DIR/<session>.mcap,\n"
               "or as the folder DIR/<session> in the TUM RGB-D layout.\n"
               "  --format mcap  MCAP with ROS 2 messages (the default)\n"
               "  --format tum   the TUM RGB-D layout, one folder per device\n"
               "  --out DIR      where the output goes (default: the current folder)\n"
               "  --jobs N       sessions and frame sets on N threads (default: one per core)\n"
               "  --force        export what is whole of a session that fails its checks, listing the rest\n"
               "Exit status: 0 all exported whole, 1 some refused, failed or incomplete, 2 usage error.\n",
        out);
}

} // namespace

int main(int argc, char** argv)
{
    // Images that are not 16-bit depth are decoded by OpenCV: its pixel limit comes first.
    image_header::lowerDecoderPixelLimit(argv);
    session_export::Options options;
    unsigned jobs = 0;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--force") {
            options.force = true;
        } else if (arg == "--out" && i + 1 < argc) {
            options.outDir = argv[++i];
        } else if (arg == "--format" && i + 1 < argc) {
            const std::string format = argv[++i];
            if (format == "mcap") {
                options.format = session_export::Format::Mcap;
            } else if (format == "tum") {
                options.format = session_export::Format::Tum;
            } else {
                std::fprintf(stderr, "kavrel-export: format %s is not supported (known: mcap, tum)\n", format.c_str());
                return 2;
            }
        } else if (arg == "--jobs" && i + 1 < argc) {
            const std::optional<unsigned> count = session_check::parseJobCount(argv[++i]);
            if (!count) {
                std::fprintf(stderr, "kavrel-export: --jobs takes a number from 1 to 256\n");
                return 2;
            }
            jobs = *count;
        } else if (arg == "-h" || arg == "--help") {
            printUsage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "kavrel-export: unknown option %s\n", arg.c_str());
            printUsage(stderr);
            return 2;
        } else {
            paths.push_back(arg);
        }
    }
    if (paths.empty()) {
        printUsage(stderr);
        return 2;
    }
    if (jobs == 0)
        jobs = std::max(1u, std::thread::hardware_concurrency());

    std::vector<std::string> missing;
    const std::vector<std::string> sessions = session_check::findSessions(paths, &missing);
    for (const auto& path : missing)
        std::fprintf(stderr, "kavrel-export: not a folder: %s\n", path.c_str());
    if (sessions.empty()) {
        std::fprintf(stderr, "kavrel-export: no session folder found\n");
        return 2;
    }
    // Two sessions of the same folder name would write the same file.
    std::set<std::string> outputs;
    for (const auto& session : sessions) {
        const std::string output = session_export::outputPath(session, options.outDir, options.format);
        if (!outputs.insert(output).second) {
            std::fprintf(stderr, "kavrel-export: two sessions would both be written to %s; export them separately\n",
                output.c_str());
            return 2;
        }
    }

    // A missing output folder is made; one that cannot be made shows up as
    // each session's "cannot create" error.
    if (!options.outDir.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(options.outDir, ignored);
    }
    const auto reports = session_check::checkSessions(sessions, jobs);
    options.threads = jobs;
    const std::vector<session_export::Result> results = session_export::exportSessions(reports, options);

    std::map<std::string, size_t> total;
    size_t incomplete = 0;
    for (size_t i = 0; i < results.size(); ++i) {
        const auto& result = results[i];
        if (!result.ok()) {
            std::printf("FAIL %s  %s\n", result.session.c_str(), result.error.c_str());
            if (!reports[i].passed())
                for (const auto& line : session_check::detailLines(reports[i]))
                    std::printf("%s\n", line.c_str());
            ++incomplete;
            continue;
        }
        std::printf("%s %s -> %s\n", result.leftOut.empty() ? "OK  " : "PART", result.session.c_str(), result.output.c_str());
        for (const auto& note : result.notes)
            std::printf("  %s\n", note.c_str());
        if (!result.leftOut.empty())
            std::printf("  left out (%zu):\n", result.leftOut.size());
        for (const auto& line : result.leftOut)
            std::printf("    %s\n", line.c_str());
        std::printf("  exported: %s\n", session_export::countsLine(result.counts).c_str());
        incomplete += result.leftOut.empty() ? 0 : 1;
        for (const auto& [topic, count] : result.counts)
            total[topic] += count;
    }
    std::printf("%zu sessions, %zu exported whole; per stream: %s\n", results.size(),
        results.size() - incomplete, session_export::countsLine(total).c_str());
    return incomplete == 0 && missing.empty() ? 0 : 1;
}
