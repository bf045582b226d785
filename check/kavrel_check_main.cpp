// kavrel-check: checks session folders (or the sessions below dataset folders)
// and prints one line per session, the problems of failed ones, or JSON.
// Exit status: 0 every session passed, 1 at least one failed, 2 bad usage or
// nothing to check.

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "SessionCheck.h"

namespace {

void printUsage(FILE* out)
{
    std::fputs("Usage: kavrel-check [--json] [--jobs N] [--quiet] FOLDER...\n"
               "Checks every session folder given, or found below the folders given.\n"
               "  --json     one JSON document with every session and problem\n"
               "  --jobs N   check with N threads (default: one per core)\n"
               "  --quiet    print only the sessions that fail\n"
               "Exit status: 0 all sessions pass, 1 some fail, 2 usage error or no session found.\n",
        out);
}

} // namespace

int main(int argc, char** argv)
{
    image_header::lowerDecoderPixelLimit(argv);
    bool asJson = false;
    bool quiet = false;
    unsigned jobs = 0;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            asJson = true;
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (arg == "--jobs" && i + 1 < argc) {
            const std::optional<unsigned> count = session_check::parseJobCount(argv[++i]);
            if (!count) {
                std::fprintf(stderr, "kavrel-check: --jobs takes a number from 1 to 256\n");
                return 2;
            }
            jobs = *count;
        } else if (arg == "-h" || arg == "--help") {
            printUsage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "kavrel-check: unknown option %s\n", arg.c_str());
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

    std::vector<std::string> missing;
    const std::vector<std::string> sessions = session_check::findSessions(paths, &missing);
    for (const auto& path : missing)
        std::fprintf(stderr, "kavrel-check: not a folder: %s\n", path.c_str());
    if (sessions.empty()) {
        std::fprintf(stderr, "kavrel-check: no session folder found\n");
        return 2;
    }

    const auto reports = session_check::checkSessions(sessions, jobs);
    size_t failed = 0;
    for (const auto& report : reports)
        failed += report.passed() ? 0 : 1;

    if (asJson) {
        std::fputs(session_check::toJson(reports).c_str(), stdout);
    } else {
        for (const auto& report : reports) {
            if (quiet && report.passed())
                continue;
            std::printf("%s\n", session_check::summaryLine(report).c_str());
            for (const auto& line : session_check::detailLines(report))
                std::printf("%s\n", line.c_str());
        }
        std::printf("%zu sessions checked, %zu passed, %zu failed\n", reports.size(), reports.size() - failed, failed);
    }
    return failed == 0 && missing.empty() ? 0 : 1;
}
