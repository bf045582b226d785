#pragma once
// The S3 test server that ctest starts once per run (tests/storage/s3_server.sh):
// how to reach it and how to stop and start its gateway.

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "s3_client.h"

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

} // namespace storage_test
