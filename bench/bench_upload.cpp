// Sends 200 files of 500 KB to a local S3-compatible server, first with our
// uploader, then with the reference client (s3cmd put --recursive) in the
// same run, and prints files/s and MB/s for both.
//
//   bench_upload [--state DIR] [--files N] [--kb N] [--parallel N]
//
// Without --state it starts the tests' server (tests/storage/s3_server.sh)
// in a scratch folder and stops it at the end. The last line is
// "upload speedup vs reference: R" (files per second, ours over s3cmd).

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "upload_bench.h"

namespace fs = std::filesystem;
using namespace upload_bench;

namespace {

void print_rate(const char* who, int files, double megabytes, double seconds)
{
    std::printf("%-22s %d files, %.1f MB in %.2f s: %.1f files/s, %.1f MB/s\n", who, files, megabytes, seconds,
        files / seconds, megabytes / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    std::string state;
    int files = 200;
    int kilobytes = 500;
    int parallel = 16;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--state") state = argv[i + 1];
        else if (flag == "--files") files = std::atoi(argv[i + 1]);
        else if (flag == "--kb") kilobytes = std::atoi(argv[i + 1]);
        else if (flag == "--parallel") parallel = std::atoi(argv[i + 1]);
    }
    bench_setup setup("bench-upload", state, files, kilobytes);
    if (setup.env.empty())
        return 1;
    auto& env = setup.env;
    const fs::path& card = setup.card;
    const fs::path& folder = setup.folder;
    const std::string& dataset = setup.dataset;
    const double megabytes = static_cast<double>(files) * kilobytes / 1e3;

    const double ours_seconds = time_ours(card, dataset, settings_of(env, env["S3_ENDPOINT"]), parallel);
    if (ours_seconds < 0)
        return 1;
    print_rate("kavrel uploader:", files, megabytes, ours_seconds);

    const std::string host = env["S3_ENDPOINT"].substr(env["S3_ENDPOINT"].find("://") + 3);
    const std::string s3cmd = "s3cmd -c /dev/null --no-ssl --quiet --access_key=" + env["S3_ACCESS_KEY"] +
        " --secret_key=" + env["S3_SECRET_KEY"] + " --host=" + host + " --host-bucket=" + host +
        " put --recursive " + folder.string() + "/ s3://default-bucket/reference-" + setup.stamp + "/";
    const double reference_seconds = timed(s3cmd);
    if (reference_seconds < 0)
        return 1;
    print_rate("s3cmd put --recursive:", files, megabytes, reference_seconds);

    std::printf("upload speedup vs reference: %.2f\n", reference_seconds / ours_seconds);
    return 0;
}
