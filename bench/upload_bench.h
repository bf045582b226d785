#pragma once
// What the upload benchmarks share: the tests' S3 server, the files to send
// and our uploader timed on one dataset.

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
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
#include "s3_client.h"

namespace upload_bench {

namespace fs = std::filesystem;

inline int run(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Seconds a client's command takes; negative when it fails.
inline double timed(const std::string& command)
{
    const auto began = std::chrono::steady_clock::now();
    const int status = run(command + " >/dev/null 2>&1");
    if (status != 0) {
        std::fprintf(stderr, "failed (%d): %s\n", status, command.c_str());
        return -1;
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

// The server at `state`, or one started in `scratch` when `state` is empty
// (`state` then names it, to stop it at the end). Empty when there is none.
inline std::map<std::string, std::string> server_env(std::string& state, const fs::path& scratch)
{
    if (state.empty()) {
        state = (scratch / "server").string();
        if (run(std::string(S3_SERVER_SCRIPT) + " start " + state + " >/dev/null") != 0) {
            std::fprintf(stderr, "the S3 server did not start\n");
            return {};
        }
    }
    std::map<std::string, std::string> values;
    std::ifstream file(state + "/env");
    for (std::string line; std::getline(file, line);) {
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (!values["S3_SKIP"].empty() || values["S3_ENDPOINT"].empty()) {
        std::fprintf(stderr, "no S3 server: %s\n", values["S3_SKIP"].c_str());
        return {};
    }
    // A fresh gateway makes its data pools on the first write: not part of any figure.
    const std::atomic<bool> never{false};
    s3_settings warm_up;
    warm_up.endpoint = values["S3_ENDPOINT"];
    warm_up.region = values["S3_REGION"];
    warm_up.access_key_id = values["S3_ACCESS_KEY"];
    warm_up.secret_access_key = values["S3_SECRET_KEY"];
    s3_client(warm_up).put_bytes("bench-warm-up", "warm-up", never);
    return values;
}

inline s3_settings settings_of(std::map<std::string, std::string>& env, const std::string& endpoint)
{
    s3_settings settings;
    settings.endpoint = endpoint;
    settings.region = env["S3_REGION"];
    settings.access_key_id = env["S3_ACCESS_KEY"];
    settings.secret_access_key = env["S3_SECRET_KEY"];
    return settings;
}

// Random bytes, so nothing compresses or deduplicates.
inline void make_files(const fs::path& folder, int files, std::size_t bytes)
{
    fs::create_directories(folder);
    std::mt19937_64 random(42);
    std::string content(bytes, '\0');
    for (int i = 0; i < files; ++i) {
        for (auto& c : content)
            c = static_cast<char>(random());
        std::ofstream(folder / ("frame" + std::to_string(i) + ".png"), std::ios::binary) << content;
    }
}

// A scratch folder holding a card with one dataset of random files, and the
// server (started here unless `state` names a running one; stopped at the end).
struct bench_setup {
    bench_setup(const std::string& name, std::string server_state, int files, int kilobytes)
        : scratch(fs::temp_directory_path() / ("kavrel-" + name + "-" + std::to_string(::getpid())))
        , state(std::move(server_state))
        , own_server(state.empty())
        , stamp(std::to_string(::getpid()) + "-" + std::to_string(std::time(nullptr)))
        , dataset(name + "-" + stamp + "/outside/1200")
        , card(scratch / "card")
        , folder(card / dataset)
    {
        fs::create_directories(scratch);
        env = server_env(state, scratch);
        if (!env.empty())
            make_files(folder, files, static_cast<std::size_t>(kilobytes) * 1000);
    }
    ~bench_setup()
    {
        if (own_server)
            run(std::string(S3_SERVER_SCRIPT) + " stop " + state);
        fs::remove_all(scratch);
    }
    bench_setup(const bench_setup&) = delete;
    bench_setup& operator=(const bench_setup&) = delete;

    const fs::path scratch;
    std::string state;
    const bool own_server;
    const std::string stamp;
    const std::string dataset;
    const fs::path card;
    const fs::path folder;
    std::map<std::string, std::string> env;   // empty when there is no server
};

// Seconds our uploader takes for `dataset` below `card`; negative on a failure.
inline double time_ours(const fs::path& card, const std::string& dataset, s3_settings settings, int parallel)
{
    file_manager storage;
    storage.init((card.parent_path() / ("ledger-" + std::to_string(::getpid()) + ".csv")).string(), card.string());
    storage.add_dir_record(dataset, kRecordTypeCapture);
    storage.uploads().set_client(std::make_shared<s3_client>(std::move(settings)), parallel);
    std::mutex mutex;
    std::condition_variable done;
    upload_info last;
    const auto began = std::chrono::steady_clock::now();
    storage.uploads().submit_upload({[&](upload_info report) {
        if (!report.last)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        last = std::move(report);
        done.notify_all();
    }, dataset});
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [&] { return last.last; });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (!last.finished) {
        std::fprintf(stderr, "our upload failed: %s\n", failure_text(last.failure));
        return -1;
    }
    return seconds;
}

} // namespace upload_bench
