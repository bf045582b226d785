// Verifies 200 objects of 500 KB in a local S3-compatible server against
// their manifest, first with kavrel-fleet's verify, then with the reference
// (s3cmd get --recursive, then sha256sum over the fetched files) in the same
// run, and prints objects/s and MB/s for both.
//
//   bench_fleet_verify [--state DIR] [--objects N] [--kb N] [--jobs N]
//
// Without --state it starts the tests' server (tests/storage/s3_server.sh)
// in a scratch folder and stops it at the end. The last line is
// "verify speedup vs reference: R" (objects per second, ours over the reference).

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>

#include "file_manager.h"
#include "fleet_verify.h"
#include "s3_client.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::map<std::string, std::string> read_env(const std::string& state)
{
    std::map<std::string, std::string> values;
    std::ifstream file(state + "/env");
    for (std::string line; std::getline(file, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

int run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void print_rate(const char* who, int objects, double megabytes, double seconds)
{
    std::printf("%-28s %d objects, %.1f MB in %.2f s: %.1f objects/s, %.1f MB/s\n", who, objects, megabytes, seconds,
        objects / seconds, megabytes / seconds);
}

} // namespace

int main(int argc, char** argv)
{
    std::string state;
    int objects = 200;
    int kilobytes = 500;
    int jobs = 8;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--state") state = argv[i + 1];
        else if (flag == "--objects") objects = std::atoi(argv[i + 1]);
        else if (flag == "--kb") kilobytes = std::atoi(argv[i + 1]);
        else if (flag == "--jobs") jobs = std::atoi(argv[i + 1]);
    }
    const fs::path scratch = fs::temp_directory_path() / ("kavrel-bench-verify-" + std::to_string(::getpid()));
    fs::create_directories(scratch);
    const bool own_server = state.empty();
    if (own_server) {
        state = (scratch / "server").string();
        if (run(std::string(S3_SERVER_SCRIPT) + " start " + state) != 0) {
            std::fprintf(stderr, "the S3 server did not start\n");
            return 1;
        }
    }
    auto env = read_env(state);
    if (!env["S3_SKIP"].empty() || env["S3_ENDPOINT"].empty()) {
        std::fprintf(stderr, "no S3 server: %s\n", env["S3_SKIP"].c_str());
        return 1;
    }
    s3_settings settings;
    settings.endpoint = env["S3_ENDPOINT"];
    settings.region = env["S3_REGION"];
    settings.access_key_id = env["S3_ACCESS_KEY"];
    settings.secret_access_key = env["S3_SECRET_KEY"];
    auto client = std::make_shared<s3_client>(settings);

    // The dataset: random bytes, sent by the uploader, which writes the manifest.
    const std::string stamp = std::to_string(::getpid()) + "-" + std::to_string(std::time(nullptr));
    const std::string dataset = "bench-" + stamp + "/outside";
    const fs::path card = scratch / "card";
    fs::create_directories(card / dataset);
    std::mt19937_64 random(42);
    std::string content(static_cast<std::size_t>(kilobytes) * 1000, '\0');
    for (int i = 0; i < objects; ++i) {
        for (auto& c : content)
            c = static_cast<char>(random());
        std::ofstream(card / dataset / ("frame" + std::to_string(i) + ".png"), std::ios::binary) << content;
    }
    {
        file_manager storage;
        storage.init((scratch / "file_manager.csv").string(), card.string());
        storage.add_dir_record(dataset, kRecordTypeCapture);
        storage.uploads().set_client(client, 4);
        std::mutex mutex;
        std::condition_variable done;
        upload_info last;
        storage.uploads().submit_upload({[&](upload_info report) {
            if (!report.last)
                return;
            std::lock_guard<std::mutex> lock(mutex);
            last = std::move(report);
            done.notify_all();
        }, dataset});
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return last.last; });
        if (!last.finished) {
            std::fprintf(stderr, "the upload failed: %s\n", failure_text(last.failure));
            return 1;
        }
    }
    const std::string prefix = dataset_key(dataset);
    const double megabytes = static_cast<double>(objects) * static_cast<double>(content.size()) / 1e6;

    const std::atomic<bool> never{false};
    auto began = Clock::now();
    const verify_report report = verify_store(*client, {prefix, "", jobs}, never);
    const double ours_seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (!report.whole() || report.objects != static_cast<uint64_t>(objects)) {
        std::fprintf(stderr, "verify did not pass:\n%s", verify_text(report).c_str());
        return 1;
    }
    print_rate(("kavrel-fleet verify (" + std::to_string(jobs) + " jobs):").c_str(), objects, megabytes, ours_seconds);

    const std::string host = settings.endpoint.substr(settings.endpoint.find("://") + 3);
    const fs::path fetched = scratch / "fetched";
    fs::create_directories(fetched);
    const std::string reference = "s3cmd -c /dev/null --no-ssl --quiet --access_key=" + settings.access_key_id +
        " --secret_key=" + settings.secret_access_key + " --host=" + host + " --host-bucket=" + host +
        " get --recursive s3://default-bucket/" + prefix + "/ " + fetched.string() + "/ >/dev/null && " +
        "find " + fetched.string() + " -type f -name '*.png' -exec sha256sum {} + >" + (scratch / "sums").string();
    began = Clock::now();
    const int status = run(reference);
    const double reference_seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (status != 0) {
        std::fprintf(stderr, "the reference failed (%d)\n", status);
        return 1;
    }
    print_rate("s3cmd get + sha256sum:", objects, megabytes, reference_seconds);

    if (own_server)
        run(std::string(S3_SERVER_SCRIPT) + " stop " + state);
    fs::remove_all(scratch);
    std::printf("verify speedup vs reference: %.2f\n", reference_seconds / ours_seconds);
    return 0;
}
