// Sends 100 files of 100 KB through a far, narrow link to a local S3 server:
// the tests' gateway behind the tests' delaying, rate-limiting proxy
// (tests/storage/LinkProxy.h), first over http, then over https. Each run
// has our uploader, rclone (copy --transfers 16) and s3cmd (put --recursive)
// send the same files, and prints each one's time and its share of the
// link's limit (the payload's bits over the link's rate).
//
//   bench_upload_link [--state DIR] [--delay-ms 75] [--mbit 10] [--files 100]
//                     [--kb 100] [--parallel 16] [--only-ours] [--http-only]
//
// --delay-ms is one way (75 ms: a round trip of 150 ms); --mbit is the way
// up. Without --state it starts the tests' server in a scratch folder and
// stops it at the end. The last line is "upload link share: P%", ours over
// plain http.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "LinkProxy.h"
#include "upload_bench.h"

namespace fs = std::filesystem;
using namespace upload_bench;

namespace {

uint16_t port_of(const std::string& endpoint)
{
    return static_cast<uint16_t>(std::stoi(endpoint.substr(endpoint.rfind(':') + 1)));
}

} // namespace

int main(int argc, char** argv)
{
    std::string state;
    int delay_ms = 75;
    double mbit = 10;
    int files = 100;
    int kilobytes = 100;
    int parallel = 16;
    bool only_ours = false;
    bool http_only = false;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "0";
        if (flag == "--only-ours") { only_ours = true; continue; }
        if (flag == "--http-only") { http_only = true; continue; }
        if (flag == "--state") state = value;
        else if (flag == "--delay-ms") delay_ms = std::atoi(value);
        else if (flag == "--mbit") mbit = std::atof(value);
        else if (flag == "--files") files = std::atoi(value);
        else if (flag == "--kb") kilobytes = std::atoi(value);
        else if (flag == "--parallel") parallel = std::atoi(value);
        else {
            std::fprintf(stderr, "unknown argument %s\n", flag.c_str());
            return 2;
        }
        ++i;
    }
    if (mbit <= 0 || delay_ms < 0 || files < 1 || kilobytes < 1) {
        std::fprintf(stderr, "--mbit, --files and --kb must be positive, --delay-ms not negative\n");
        return 2;
    }
    bench_setup setup("bench-link", state, files, kilobytes);
    if (setup.env.empty())
        return 1;
    auto& env = setup.env;
    const fs::path& card = setup.card;
    const fs::path& folder = setup.folder;
    const std::string& dataset = setup.dataset;
    const double link_seconds = static_cast<double>(files) * kilobytes * 1000 * 8.0 / (mbit * 1e6);
    std::printf("%d files of %d KB through %d ms each way and %.0f Mbit/s up: the link's limit is %.2f s\n", files,
        kilobytes, delay_ms, mbit, link_seconds);

    auto report = [&](const char* who, const char* scheme, double seconds) {
        if (seconds > 0)
            std::printf("%-30s %-5s %7.2f s  %5.1f%% of the link\n", who, scheme, seconds, 100.0 * link_seconds / seconds);
        return seconds;
    };
    double ours_http = -1;
    for (const std::string scheme : {"http", "https"}) {
        if (scheme == "https" && http_only)
            break;
        const bool tls = scheme == "https";
        const std::string target = tls ? env["S3_TLS_ENDPOINT"] : env["S3_ENDPOINT"];
        link_test::link_proxy link(port_of(target), std::chrono::milliseconds(delay_ms), mbit);
        if (!link.start()) {
            std::fprintf(stderr, "the link proxy did not start\n");
            return 1;
        }
        const std::string host = "127.0.0.1:" + std::to_string(link.port());
        const std::string endpoint = scheme + "://" + host;

        // Each client gets a dataset of its own: the same files below another name.
        const std::string ours_name = "ours-" + scheme + "-" + dataset;
        fs::create_directories((card / ours_name).parent_path());
        fs::copy(folder, card / ours_name, fs::copy_options::recursive);
        s3_settings settings = settings_of(env, endpoint);
        settings.ca_file = tls ? env["S3_CA_FILE"] : "";
        const double ours = report("kavrel uploader", scheme.c_str(), time_ours(card, ours_name, settings, parallel));
        if (!tls)
            ours_http = ours;
        if (only_ours)
            continue;

        const std::string rclone = "env -u AWS_CA_BUNDLE RCLONE_CONFIG_LINK_TYPE=s3 RCLONE_CONFIG_LINK_PROVIDER=Ceph"
            " RCLONE_CONFIG_LINK_ACCESS_KEY_ID=" + env["S3_ACCESS_KEY"] +
            " RCLONE_CONFIG_LINK_SECRET_ACCESS_KEY=" + env["S3_SECRET_KEY"] +
            " RCLONE_CONFIG_LINK_REGION=" + env["S3_REGION"] + " RCLONE_CONFIG_LINK_ENDPOINT=" + endpoint +
            " rclone --config " + (setup.scratch / "rclone.conf").string() + (tls ? " --ca-cert " + env["S3_CA_FILE"] : "") +
            " copy --transfers 16 " + folder.string() + " link:default-bucket/rclone-" + scheme + "-" + dataset;
        report("rclone copy --transfers 16", scheme.c_str(), timed(rclone));

        const std::string s3cmd = "s3cmd -c /dev/null --quiet --access_key=" + env["S3_ACCESS_KEY"] +
            " --secret_key=" + env["S3_SECRET_KEY"] + " --host=" + host + " --host-bucket=" + host +
            (tls ? " --ssl --ca-certs=" + env["S3_CA_FILE"] : " --no-ssl") + " put --recursive " + folder.string() +
            "/ s3://default-bucket/s3cmd-" + scheme + "-" + dataset + "/";
        report("s3cmd put --recursive", scheme.c_str(), timed(s3cmd));
    }

    if (ours_http <= 0)
        return 1;
    std::printf("upload link share: %.0f%%\n", 100.0 * link_seconds / ours_http);
    return 0;
}
