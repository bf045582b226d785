// Preview decode cost per frame: the OpenCV path, the libjpeg-turbo fast path
// and a bare libjpeg-turbo decode to YUV planes (the floor the fast path can
// reach). Prints one line per case and the smallest OpenCV/fast ratio last:
//   case 1920x1080->1280x720: opencv A ms, fast B ms, bare C ms, speedup S
//   min speedup: S
// Figures are medians of several rounds, so a busy machine skews them less.
// Usage: bench_preview_decode [rounds [calls per round]] [--cpu]
// --cpu counts the CPU time of the whole process (all threads) instead of
// wall-clock time: steadier on a machine shared with other work.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <turbojpeg.h>

#include <spdlog/logger.h>

#include "Log.h"
#include "rk_mjpeg_decoder_v2.h"

namespace {

// A camera-like picture: soft gradients, shapes, text and sensor noise,
// encoded the way UVC cameras send MJPEG (4:2:2, quality 85).
std::vector<uint8_t> makeJpeg(int w, int h)
{
    cv::Mat image(h, w, CV_8UC3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(80 + 100 * x / w), uchar(60 + 120 * y / h),
                uchar(150 - 60 * (x + y) / (w + h)));
    cv::RNG rng(7);
    for (int i = 0; i < 40; ++i) {
        const cv::Point centre(rng.uniform(0, w), rng.uniform(0, h));
        const cv::Scalar colour(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255));
        if (i % 2)
            cv::circle(image, centre, rng.uniform(h / 40, h / 8), colour, cv::FILLED, cv::LINE_AA);
        else
            cv::rectangle(image, cv::Rect(centre, cv::Size(rng.uniform(w / 40, w / 6), rng.uniform(h / 40, h / 6))),
                colour, cv::FILLED);
    }
    for (int i = 0; i < 12; ++i)
        cv::putText(image, "KAVREL 2026-12-05 12:34:56.789", cv::Point(rng.uniform(0, w / 2), rng.uniform(20, h)),
            cv::FONT_HERSHEY_SIMPLEX, h / 900.0, cv::Scalar(255, 255, 255), 2, cv::LINE_AA);
    cv::Mat noise(h, w, CV_8UC3);
    rng.fill(noise, cv::RNG::NORMAL, 0, 6);
    cv::add(image, noise, image);
    cv::GaussianBlur(image, image, cv::Size(3, 3), 0);

    tjhandle handle = tjInitCompress();
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    tjCompress2(handle, image.data, w, int(image.step), h, TJPF_BGR, &buffer, &size, TJSAMP_422, 85, 0);
    std::vector<uint8_t> jpeg(buffer, buffer + size);
    tjFree(buffer);
    tjDestroy(handle);
    return jpeg;
}

bool g_cpuTime = false;

double nowMs()
{
    timespec t{};
    clock_gettime(g_cpuTime ? CLOCK_PROCESS_CPUTIME_ID : CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Median of `rounds` rounds of `perRound` calls, in milliseconds per call.
double msPerCall(const std::function<bool()>& call, int rounds, int perRound)
{
    std::vector<double> results;
    call(); // warm caches and scratch buffers
    for (int r = 0; r < rounds; ++r) {
        const double start = nowMs();
        for (int i = 0; i < perRound; ++i)
            if (!call()) {
                std::fprintf(stderr, "decode failed\n");
                return -1;
            }
        results.push_back((nowMs() - start) / perRound);
    }
    std::nth_element(results.begin(), results.begin() + results.size() / 2, results.end());
    return results[results.size() / 2];
}

struct Case {
    int srcW, srcH, dstW, dstH;
};

} // namespace

int main(int argc, char** argv)
{
    // The figures are the whole output; the decoders' own log lines would get in the way.
    kavrel::log::logger().set_level(spdlog::level::off);
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--cpu") == 0)
            g_cpuTime = true;
        else
            numbers.push_back(std::max(1, std::atoi(argv[i])));
    }
    const int rounds = numbers.size() > 0 ? numbers[0] : 7;
    const int perRound = numbers.size() > 1 ? numbers[1] : 8;
    const Case cases[] = {{1920, 1080, 1920, 1080}, {1280, 720, 1280, 720}, {1920, 1080, 1280, 720}};
    double minSpeedup = 1e9;
    tjhandle bare = tjInitDecompress();
    for (const Case& c : cases) {
        const std::vector<uint8_t> jpeg = makeJpeg(c.srcW, c.srcH);
        rk_mjpeg_decoder_v2 decoder(c.dstW, c.dstH);
        std::vector<uint8_t> out(size_t(c.dstW) * c.dstH * 3 / 2);
        const int size = int(jpeg.size());

        // The bare decode: libjpeg-turbo to YUV planes at the scale the fast path uses.
        int w = 0, h = 0, subsamp = 0, colorspace = 0;
        tjDecompressHeader3(bare, jpeg.data(), jpeg.size(), &w, &h, &subsamp, &colorspace);
        int denom = 1;
        for (int d : {8, 4, 2})
            if (denom == 1 && TJSCALED(w, (tjscalingfactor{1, d})) >= c.dstW
                && TJSCALED(h, (tjscalingfactor{1, d})) >= c.dstH)
                denom = d;
        const int sw = TJSCALED(w, (tjscalingfactor{1, denom}));
        const int sh = TJSCALED(h, (tjscalingfactor{1, denom}));
        std::vector<uint8_t> planes[3];
        unsigned char* planePtrs[3];
        int strides[3];
        for (int i = 0; i < 3; ++i) {
            strides[i] = tjPlaneWidth(i, sw, subsamp);
            planes[i].resize(size_t(strides[i]) * tjPlaneHeight(i, sh, subsamp));
            planePtrs[i] = planes[i].data();
        }

        const double opencv = msPerCall([&] { return decoder.decode_sw(jpeg.data(), size, out.data()); }, rounds,
            perRound);
        const double fast = msPerCall([&] { return decoder.decode_turbo(jpeg.data(), size, out.data()); }, rounds,
            perRound);
        const double bareMs = msPerCall(
            [&] {
                return tjDecompressToYUVPlanes(bare, jpeg.data(), jpeg.size(), planePtrs, sw, strides, sh, 0) == 0;
            },
            rounds, perRound);
        const double speedup = fast > 0 ? opencv / fast : 0;
        minSpeedup = std::min(minSpeedup, speedup);
        std::printf("case %dx%d->%dx%d: opencv %.2f ms, fast %.2f ms, bare %.2f ms, speedup %.2f\n", c.srcW, c.srcH,
            c.dstW, c.dstH, opencv, fast, bareMs, speedup);
        std::fflush(stdout);
    }
    tjDestroy(bare);
    std::printf("min speedup: %.2f\n", minSpeedup);
    return 0;
}
