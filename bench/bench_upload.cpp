// Sends 200 files of 500 KB to a local S3-compatible server, first with our
// uploader, then with the reference client (s3cmd put --recursive) in the
// same run, and prints files/s and MB/s for both.
//
//   bench_upload [--state DIR] [--files N] [--kb N] [--parallel N]
//
// Without --state it starts the tests' server (tests/storage/s3_server.sh)
// in a scratch folder and stops it at the end. The last line is
// "upload speedup vs reference: R" (files per second, ours over s3cmd).

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <string>

#include "file_manager.h"
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
    const fs::path scratch = fs::temp_directory_path() / ("kavrel-bench-upload-" + std::to_string(::getpid()));
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

    // The files: random bytes, so nothing compresses or deduplicates.
    const std::string stamp = std::to_string(::getpid()) + "-" + std::to_string(std::time(nullptr));
    const std::string dataset = "bench-" + stamp + "/outside/1200";
    const fs::path card = scratch / "card";
    const fs::path folder = card / dataset;
    fs::create_directories(folder);
    std::mt19937_64 random(42);
    std::string content(static_cast<std::size_t>(kilobytes) * 1000, '\0');
    for (int i = 0; i < files; ++i) {
        for (auto& c : content)
            c = static_cast<char>(random());
        std::ofstream(folder / ("frame" + std::to_string(i) + ".png"), std::ios::binary) << content;
    }
    const double megabytes = static_cast<double>(files) * static_cast<double>(content.size()) / 1e6;

    double ours_seconds = 0;
    {
        file_manager storage;
        storage.init((scratch / "file_manager.csv").string(), card.string());
        storage.add_dir_record(dataset, kRecordTypeCapture);
        s3_settings settings;
        settings.endpoint = env["S3_ENDPOINT"];
        settings.region = env["S3_REGION"];
        settings.access_key_id = env["S3_ACCESS_KEY"];
        settings.secret_access_key = env["S3_SECRET_KEY"];
        auto client = std::make_shared<s3_client>(settings);
        // A fresh gateway makes its data pools on the first write: not part of either figure.
        const std::atomic<bool> never{false};
        client->put_bytes("bench-warm-up-" + stamp, "warm-up", never);
        storage.uploads().set_client(client, parallel);
        std::mutex mutex;
        std::condition_variable done;
        upload_info last;
        const auto began = Clock::now();
        storage.uploads().submit_upload({[&](upload_info report) {
            if (!report.last)
                return;
            std::lock_guard<std::mutex> lock(mutex);
            last = std::move(report);
            done.notify_all();
        }, dataset});
        std::unique_lock<std::mutex> lock(mutex);
        done.wait(lock, [&] { return last.last; });
        ours_seconds = std::chrono::duration<double>(Clock::now() - began).count();
        if (!last.finished) {
            std::fprintf(stderr, "our upload failed: %s\n", failure_text(last.failure));
            return 1;
        }
    }
    print_rate("kavrel uploader:", files, megabytes, ours_seconds);

    const std::string host = env["S3_ENDPOINT"].substr(env["S3_ENDPOINT"].find("://") + 3);
    const std::string s3cmd = "s3cmd -c /dev/null --no-ssl --quiet --access_key=" + env["S3_ACCESS_KEY"] +
        " --secret_key=" + env["S3_SECRET_KEY"] + " --host=" + host + " --host-bucket=" + host +
        " put --recursive " + folder.string() + "/ s3://default-bucket/reference-" + stamp + "/";
    const auto began = Clock::now();
    const int status = run(s3cmd + " >/dev/null");
    const double reference_seconds = std::chrono::duration<double>(Clock::now() - began).count();
    if (status != 0) {
        std::fprintf(stderr, "s3cmd failed (%d)\n", status);
        return 1;
    }
    print_rate("s3cmd put --recursive:", files, megabytes, reference_seconds);

    if (own_server)
        run(std::string(S3_SERVER_SCRIPT) + " stop " + state);
    fs::remove_all(scratch);
    std::printf("upload speedup vs reference: %.2f\n", reference_seconds / ours_seconds);
    return 0;
}
