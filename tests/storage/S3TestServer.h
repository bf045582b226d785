#pragma once
// The S3 test server that ctest starts once per run (tests/storage/s3_server.sh):
// where it listens and how to stop and start its gateway.

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace storage_test {

struct server_env {
    std::string skip_reason;
    std::string endpoint;
    std::string access_key;
    std::string secret_key;
    std::string region;
};

inline server_env read_server_env()
{
    server_env env;
    const char* state = std::getenv("KAVREL_S3_STATE");
    if (!state) {
        env.skip_reason = "KAVREL_S3_STATE not set (run through ctest, which starts the server)";
        return env;
    }
    std::ifstream file(std::string(state) + "/env");
    if (!file) {
        env.skip_reason = "the S3 test server did not start";
        return env;
    }
    for (std::string line; std::getline(file, line);) {
        const auto eq = line.find('=');
        const std::string name = line.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (name == "S3_SKIP") env.skip_reason = value;
        if (name == "S3_ENDPOINT") env.endpoint = value;
        if (name == "S3_ACCESS_KEY") env.access_key = value;
        if (name == "S3_SECRET_KEY") env.secret_key = value;
        if (name == "S3_REGION") env.region = value;
    }
    return env;
}

inline void server_control(const std::string& action)
{
    const std::string command = std::string(S3_SERVER_SCRIPT) + " " + action + " " + std::getenv("KAVREL_S3_STATE");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

} // namespace storage_test
