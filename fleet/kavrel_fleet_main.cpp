// kavrel-fleet: for the people who run the fleet. Publishes a catalogue set,
// shows every terminal's status and verifies the datasets in the store
// against their manifests. Exit status: 0 all well, 1 something is not
// (a refused set, a dataset not whole, the store unreachable), 2 bad usage.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <spdlog/logger.h>
#include <spdlog/sinks/ansicolor_sink.h>

#include "Log.h"
#include "config_manager.h"
#include "fleet_admin.h"
#include "fleet_verify.h"
#include "s3_client.h"
#include "store_manifest.h"

namespace {

const char kUsage[] =
    "Usage: kavrel-fleet [OPTIONS] COMMAND\n"
    "Commands:\n"
    "  publish-catalogue DIR   check the scenario set DIR (scenario_<stamp>) and publish it\n"
    "  status                  one line per terminal; SILENT: not seen for a day, OLD CATALOGUE\n"
    "  verify [--prefix P] [--since YYYY-MM-DD] [--jobs N] [--json]\n"
    "                          compare every dataset in the store with its manifest\n"
    "Options:\n"
    "  --config FILE           device configuration with the upload object (default /etc/kavrel/def_config.json)\n"
    "  --endpoint URL, --bucket NAME, --region NAME   override the configuration\n"
    "  --credentials FILE      access_key_id / secret_access_key lines (mode 600);\n"
    "                          default: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY\n"
    "Exit status: 0 all well, 1 refused, not whole or unreachable, 2 bad usage.\n";

int usage_error(const std::string& message)
{
    std::fprintf(stderr, "kavrel-fleet: %s\n%s", message.c_str(), kUsage);
    return 2;
}

// Standard output carries the report (and --json its document); log lines
// go to standard error, warnings and errors only.
void log_to_stderr()
{
    spdlog::logger& logger = kavrel::log::logger();
    auto console = std::make_shared<spdlog::sinks::ansicolor_stderr_sink_mt>(
        isatty(STDERR_FILENO) ? spdlog::color_mode::always : spdlog::color_mode::never);
    console->set_formatter(kavrel::log::makeFormatter());
    logger.sinks().front() = console;
    logger.set_level(spdlog::level::warn);
}

bool is_date(const std::string& text)
{
    std::tm tm{};
    const char* end = strptime(text.c_str(), "%Y-%m-%d", &tm);
    return end && !*end && text.size() == 10;
}

} // namespace

int main(int argc, char** argv)
{
    log_to_stderr();
    std::string config_path = "/etc/kavrel/def_config.json";
    bool config_given = false;
    std::string endpoint, bucket, region, credentials_path;
    std::string command, dir;
    verify_options verify;
    bool as_json = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc)
                return false;
            into = argv[++i];
            return true;
        };
        std::string jobs;
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--config") {
            if (!value(config_path))
                return usage_error("--config needs a file");
            config_given = true;
        } else if (arg == "--endpoint" || arg == "--bucket" || arg == "--region" || arg == "--credentials" ||
            arg == "--prefix" || arg == "--since") {
            std::string& into = arg == "--endpoint" ? endpoint : arg == "--bucket" ? bucket : arg == "--region"
                ? region : arg == "--credentials" ? credentials_path : arg == "--prefix" ? verify.prefix : verify.since;
            if (!value(into) || into.empty())
                return usage_error(arg + " needs a value");
        } else if (arg == "--jobs") {
            if (!value(jobs))
                return usage_error("--jobs needs a number");
            char* end = nullptr;
            const long n = std::strtol(jobs.c_str(), &end, 10);
            if (*end || n < 1 || n > 64)
                return usage_error("--jobs takes a number from 1 to 64");
            verify.jobs = static_cast<int>(n);
        } else if (arg == "--json") {
            as_json = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else if (command.empty()) {
            command = arg;
        } else if (command == "publish-catalogue" && dir.empty()) {
            dir = arg;
        } else {
            return usage_error("unexpected argument " + arg);
        }
    }
    if (command != "publish-catalogue" && command != "status" && command != "verify")
        return usage_error(command.empty() ? "no command given" : "unknown command " + command);
    if (command == "publish-catalogue" && dir.empty())
        return usage_error("publish-catalogue needs the set folder");
    if (!verify.since.empty() && !is_date(verify.since))
        return usage_error("--since takes a date as YYYY-MM-DD");

    config_manager& config = config_manager::instance();
    struct stat st {};
    if (::stat(config_path.c_str(), &st) == 0) {
        if (config.init(config_path) != 0)
            return usage_error("cannot read the configuration " + config_path);
    } else if (config_given || endpoint.empty()) {
        return usage_error("no configuration at " + config_path + " and no --endpoint");
    }
    s3_settings settings;
    settings.endpoint = endpoint.empty() ? config.upload_.endpoint : endpoint;
    settings.bucket = bucket.empty() ? config.upload_.bucket : bucket;
    settings.region = region.empty() ? config.upload_.region : region;
    settings.path_style = config.upload_.path_style;
    settings.ca_file = config.upload_.ca_file;
    if (settings.endpoint.empty())
        return usage_error("no store: the configuration has no upload.endpoint and no --endpoint was given");
    if (!credentials_path.empty() && ::stat(credentials_path.c_str(), &st) != 0)
        return usage_error("no credentials file " + credentials_path);
    // An empty path names no file: the environment's keys are taken.
    const upload_credentials keys = load_upload_credentials(credentials_path);
    if (!keys.ok())
        return usage_error(keys.error);
    settings.access_key_id = keys.access_key_id;
    settings.secret_access_key = keys.secret_access_key;
    s3_client client(settings);
    const std::atomic<bool> never{false};

    if (command == "publish-catalogue") {
        const publish_outcome published = publish_catalogue(client, dir, config.fleet_.catalogue_prefix, never);
        if (!published.ok) {
            std::fprintf(stderr, "kavrel-fleet: %s refused: %s\n", published.set.c_str(), published.error.c_str());
            return 1;
        }
        std::printf("published %s: %zu files and the manifest below %s\n", published.set.c_str(), published.files,
            folder_prefix(config.fleet_.catalogue_prefix).c_str());
        return 0;
    }
    if (command == "status") {
        const std::time_t now = std::time(nullptr);
        const fleet_status fleet = read_fleet_status(client, config.fleet_.catalogue_prefix, now, never);
        if (fleet.failure != upload_failure::none) {
            std::fprintf(stderr, "kavrel-fleet: cannot list the store: %s (%s)\n", failure_name(fleet.failure),
                fleet.detail.c_str());
            return 1;
        }
        std::fputs(fleet_status_table(fleet, now).c_str(), stdout);
        return 0;
    }
    const verify_report report = verify_store(client, verify, never);
    if (as_json)
        std::printf("%s\n", verify_json(report).dump(2).c_str());
    else
        std::fputs(verify_text(report).c_str(), stdout);
    return report.whole() ? 0 : 1;
}
