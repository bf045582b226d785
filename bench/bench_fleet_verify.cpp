// Verifies 200 objects of 500 KB in a local S3-compatible server against
// their manifest, first with kavrel-fleet's verify, then with the reference
// (s3cmd get --recursive, then sha256sum over the fetched files) in the same
// run, and prints objects/s and MB/s for both.
//
//   bench_fleet_verify [--state DIR] [--objects N] [--kb N] [--jobs N]
//
// Without --state it starts the tests' server (tests/storage/s3_server.sh)
// in a scratch folder and stops it at the end. The objects are sent by our
// uploader, which writes the manifest. The last line is
// "verify speedup vs reference: R" (objects per second, ours over the reference).

#include "fleet_verify.h"
#include "upload_bench.h"

using namespace upload_bench;

namespace {

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
    bench_setup setup("bench-fleet-verify", state, objects, kilobytes);
    if (setup.env.empty())
        return 1;
    const s3_settings settings = settings_of(setup.env, setup.env["S3_ENDPOINT"]);
    if (time_ours(setup.card, setup.dataset, settings, 4) < 0)
        return 1;
    const std::string prefix = dataset_key(setup.dataset);
    const double megabytes = objects * kilobytes / 1000.0;

    s3_client client(settings);
    const std::atomic<bool> never{false};
    const auto began = std::chrono::steady_clock::now();
    const verify_report report = verify_store(client, {prefix, "", jobs}, never);
    const double ours = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (!report.whole() || report.objects != static_cast<uint64_t>(objects)) {
        std::fprintf(stderr, "verify did not pass:\n%s", verify_text(report).c_str());
        return 1;
    }
    print_rate(("kavrel-fleet verify (" + std::to_string(jobs) + " jobs):").c_str(), objects, megabytes, ours);

    const std::string host = settings.endpoint.substr(settings.endpoint.find("://") + 3);
    const fs::path fetched = setup.scratch / "fetched";
    fs::create_directories(fetched);
    const double reference = timed("s3cmd -c /dev/null --no-ssl --quiet --access_key=" + settings.access_key_id +
        " --secret_key=" + settings.secret_access_key + " --host=" + host + " --host-bucket=" + host +
        " get --recursive s3://default-bucket/" + prefix + "/ " + fetched.string() + "/ && find " + fetched.string() +
        " -type f -name '*.png' -exec sha256sum {} +");
    if (reference < 0)
        return 1;
    print_rate("s3cmd get + sha256sum:", objects, megabytes, reference);
    std::printf("verify speedup vs reference: %.2f\n", reference / ours);
    return 0;
}
