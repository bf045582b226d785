#pragma once
// The S3 test server that ctest starts once per run (tests/storage/s3_server.sh):
// how to reach it, how to stop and start its gateway, and what the tests that
// use it share.

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "Log.h"
#include "StorageTestSupport.h"
#include "file_manager.h"
#include "s3_client.h"
#include "uploader.h"

namespace storage_test {

struct server_env {
    std::string skip_reason;  // empty when the server can be used
    s3_settings settings;
    std::string tls_endpoint;  // the same gateway over https
    std::string ca_file;       // the CA that signed its certificate
};

inline server_env read_server_env()
{
    const char* state = std::getenv("KAVREL_S3_STATE");
    if (!state)
        return {"KAVREL_S3_STATE not set (run through ctest, which starts the server)", {}, {}, {}};
    std::ifstream file(std::string(state) + "/env");
    if (!file)
        return {"the S3 test server did not start", {}, {}, {}};
    std::map<std::string, std::string> values;
    for (std::string line; std::getline(file, line);) {
        const auto eq = line.find('=');
        values[line.substr(0, eq)] = eq == std::string::npos ? "" : line.substr(eq + 1);
    }
    server_env env{values["S3_SKIP"], {}, values["S3_TLS_ENDPOINT"], values["S3_CA_FILE"]};
    env.settings.endpoint = values["S3_ENDPOINT"];
    env.settings.access_key_id = values["S3_ACCESS_KEY"];
    env.settings.secret_access_key = values["S3_SECRET_KEY"];
    env.settings.region = values["S3_REGION"];
    return env;
}

inline void server_control(const std::string& action)
{
    const std::string command = std::string(S3_SERVER_SCRIPT) + " " + action + " " + std::getenv("KAVREL_S3_STATE");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

// A name of the test and the run, so runs against one server never meet.
inline std::string run_name()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::to_string(::getpid()) + "-" + std::to_string(std::time(nullptr)) + "-" + info->name();
}

// A test against the gateway: its settings (or a skip with the reason), a
// scratch card and ledger, and a log that never shows the secret.
class gateway_test : public ::testing::Test {
protected:
    void SetUp() override
    {
        env = read_server_env();
        if (!env.skip_reason.empty())
            GTEST_SKIP() << env.skip_reason;
        settings = env.settings;
    }
    void TearDown() override
    {
        manager.uploads().stop();
        if (!IsSkipped()) {
            EXPECT_FALSE(log.contains(settings.secret_access_key)) << "a secret reached the log";
        }
    }

    // Sends a dataset and returns its final report. `also` sees every report,
    // on an upload thread; `queued` runs once the request is accepted.
    upload_info upload(const std::string& name, std::function<void(const upload_info&)> also = {},
        const std::function<void()>& queued = {})
    {
        auto final_report = std::make_shared<std::promise<upload_info>>();
        EXPECT_TRUE(manager.uploads().submit_upload({[final_report, also](upload_info info) {
            if (also)
                also(info);
            if (info.last)
                final_report->set_value(std::move(info));
        }, name}));
        if (queued)
            queued();
        auto result = final_report->get_future();
        if (result.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
            ADD_FAILURE() << "no final report";
            return {};
        }
        return result.get();
    }

    server_env env;
    s3_settings settings;
    ScratchDir scratch;
    kavrel::log::LogCapture log;
    file_manager manager;  // declared last: stopped before the rest goes
};

// The gateway's client with a test's hands on it: `before_listing` runs before
// the first listing; `refuse_manifest` turns manifests away. Notes the keys it sent.
class hooked_store final : public object_store_client {
public:
    explicit hooked_store(const s3_settings& settings) : inner(settings) {}
    put_outcome send_file(const dataset_file& file, const std::string& key, const stored_object* listed,
        const std::atomic<bool>& cancel) override
    {
        return note(key, inner.send_file(file, key, listed, cancel));
    }
    put_outcome put_bytes(const std::string& key, const std::string& body, const std::atomic<bool>& cancel) override
    {
        if (refuse_manifest && key.size() > 15 && key.compare(key.size() - 15, 15, "/_manifest.json") == 0) {
            put_outcome refused;
            refused.failure = upload_failure::rejected;
            return refused;
        }
        return note(key, inner.put_bytes(key, body, cancel));
    }
    list_outcome list_objects(const std::string& prefix, const std::atomic<bool>& cancel) override
    {
        if (before_listing)
            std::call_once(listed_, before_listing);
        return inner.list_objects(prefix, cancel);
    }
    std::multiset<std::string> sent()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(sent_, {});
    }

    s3_client inner;
    std::function<void()> before_listing;
    std::atomic<bool> refuse_manifest{false};

private:
    put_outcome note(const std::string& key, put_outcome outcome)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (outcome.ok() && !outcome.skipped)
            sent_.insert(key);
        return outcome;
    }
    std::once_flag listed_;
    std::mutex mutex_;
    std::multiset<std::string> sent_;
};

} // namespace storage_test
