// Feeds the save worker as the depth camera does - 1280x720 MJPG colour and
// 1280x720 Y16 depth at 30 frame sets a second, IMU samples at 200 Hz - and
// prints what was produced, saved and dropped, the resident memory over the
// run and, separately, the worker's capacity with full queues. The frames are
// the heavy simulated scene's (noisy depth, textured colour), as large as a
// real camera's, where the simulated camera is built.
//
//   bench_save_pipeline [--seconds N] [--fps N] [--imu-hz N] [--capacity-sets N] [--dir PATH] [--keep]
//   bench_save_pipeline --png-settings    # size and processor time of depth PNG settings
//
// On a slow card: LD_PRELOAD=.../libkavrel_card_throttle.so KAVREL_SLOW_CARD_MB_S=10 bench_save_pipeline
//
// The last lines are meant for scripts.

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

#include <QCoreApplication>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <spdlog/spdlog.h>

#include "CaptureQueues.h"
#include "CollectionContext.h"
#include "FrameQueues.h"
#include "Log.h"
#include "Checksums.h"
#include "SaveWorker.h"
#include "ProcessCpu.h"
#ifdef KAVREL_BENCH_SIM_FRAMES
#include "SimScene.h"
#endif

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    int seconds = 60;
    int fps = 30;
    int imuHz = 200;
    int capacitySets = 200;
    std::string dir;
    bool keep = false;
    bool pngSettings = false;
};

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--seconds")
            options.seconds = std::max(1, std::atoi(next().c_str()));
        else if (arg == "--fps")
            options.fps = std::max(1, std::atoi(next().c_str()));
        else if (arg == "--imu-hz")
            options.imuHz = std::max(1, std::atoi(next().c_str()));
        else if (arg == "--capacity-sets")
            options.capacitySets = std::clamp(std::atoi(next().c_str()), 1, 500);
        else if (arg == "--dir")
            options.dir = next();
        else if (arg == "--keep")
            options.keep = true;
        else if (arg == "--png-settings")
            options.pngSettings = true;
        else {
            std::fprintf(stderr,
                "usage: %s [--seconds N] [--fps N] [--imu-hz N] [--capacity-sets N] [--dir PATH] [--keep] "
                "[--png-settings]\n",
                argv[0]);
            std::exit(2);
        }
    }
    return options;
}

double residentMegabytes()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

#ifdef KAVREL_BENCH_SIM_FRAMES
// The simulated camera's heavy scene, depth aligned to colour, as it streams them.
void makeFrames(int count, std::vector<std::vector<uint8_t>>& colours, std::vector<std::vector<uint16_t>>& depths)
{
    obsim::SceneRenderer scene(obsim::SceneWeight::heavy);
    const obsim::Pinhole lens = obsim::pinholeOf(OB_STREAM_COLOR, 1280, 720);
    for (int n = 0; n < count; ++n) {
        const double t = n / 30.0;
        cv::Mat bgr;
        scene.renderColor(lens, {0, 0, 0}, t, static_cast<uint64_t>(n), "2099-01-01 00:00:00", bgr);
        std::vector<uint8_t> jpeg;
        obsim::encodeJpeg(bgr, 85, jpeg);
        colours.push_back(std::move(jpeg));
        cv::Mat depth;
        scene.renderDepth(lens, {0, 0, 0}, t, 1.0f, depth);
        depths.emplace_back(reinterpret_cast<const uint16_t*>(depth.datastart), reinterpret_cast<const uint16_t*>(depth.dataend));
    }
}
#else
// A scene with edges, gradients and sensor noise, as a camera would see it.
std::vector<std::vector<uint8_t>> makeColourFrames(int count)
{
    std::vector<std::vector<uint8_t>> frames;
    cv::RNG rng(7);
    for (int n = 0; n < count; ++n) {
        cv::Mat image(720, 1280, CV_8UC3);
        for (int y = 0; y < image.rows; ++y)
            for (int x = 0; x < image.cols; ++x)
                image.at<cv::Vec3b>(y, x) = cv::Vec3b(
                    static_cast<uint8_t>((x + n * 8) / 6), static_cast<uint8_t>(y / 3), static_cast<uint8_t>((x + y) / 8));
        for (int k = 0; k < 25; ++k)
            cv::rectangle(image, cv::Rect(rng.uniform(0, 1200), rng.uniform(0, 650), rng.uniform(20, 300), rng.uniform(20, 200)),
                cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)), cv::FILLED);
        cv::Mat noise(image.size(), image.type());
        cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(6));
        image += noise;
        std::vector<uint8_t> bytes;
        cv::imencode(".jpg", image, bytes, {cv::IMWRITE_JPEG_QUALITY, 90});
        frames.push_back(std::move(bytes));
    }
    return frames;
}

// Depth in millimetres: a floor plane, a few boxes, noise and invalid (zero) holes.
std::vector<std::vector<uint16_t>> makeDepthFrames(int count)
{
    std::vector<std::vector<uint16_t>> frames;
    cv::RNG rng(11);
    for (int n = 0; n < count; ++n) {
        cv::Mat depth(720, 1280, CV_16UC1);
        for (int y = 0; y < depth.rows; ++y)
            for (int x = 0; x < depth.cols; ++x)
                depth.at<uint16_t>(y, x) = static_cast<uint16_t>(4000 - y * 3 + x / 4 + n);
        for (int k = 0; k < 8; ++k)
            cv::rectangle(depth, cv::Rect(rng.uniform(0, 1100), rng.uniform(0, 600), rng.uniform(40, 250), rng.uniform(40, 200)),
                cv::Scalar(rng.uniform(600, 2500)), cv::FILLED);
        cv::Mat noise(depth.size(), CV_16SC1);
        cv::randn(noise, cv::Scalar::all(0), cv::Scalar::all(4));
        cv::Mat noisy;
        depth.convertTo(noisy, CV_32S);
        cv::Mat noise32;
        noise.convertTo(noise32, CV_32S);
        noisy += noise32;
        noisy.convertTo(depth, CV_16U);
        for (int k = 0; k < 4000; ++k)
            depth.at<uint16_t>(rng.uniform(0, 720), rng.uniform(0, 1280)) = 0;
        frames.emplace_back(reinterpret_cast<const uint16_t*>(depth.datastart), reinterpret_cast<const uint16_t*>(depth.dataend));
    }
    return frames;
}

void makeFrames(int count, std::vector<std::vector<uint8_t>>& colours, std::vector<std::vector<uint16_t>>& depths)
{
    colours = makeColourFrames(count);
    depths = makeDepthFrames(count);
}
#endif

// Size and processor time of the depth PNG settings on these frames.
void comparePngSettings(const std::vector<std::vector<uint16_t>>& depths)
{
    struct Setting {
        const char* name;
        std::vector<int> params;
    };
    std::vector<Setting> settings = {{"opencv default", {}}};
    const std::pair<const char*, int> strategies[] = {{"default", cv::IMWRITE_PNG_STRATEGY_DEFAULT},
        {"filtered", cv::IMWRITE_PNG_STRATEGY_FILTERED}, {"huffman", cv::IMWRITE_PNG_STRATEGY_HUFFMAN_ONLY},
        {"rle", cv::IMWRITE_PNG_STRATEGY_RLE}};
    static std::vector<std::string> names;
    names.reserve(64);
    for (int level = 0; level <= 9; level += (level < 3 ? 1 : 3))
        for (const auto& [strategy, code] : strategies) {
            names.push_back("level " + std::to_string(level) + " " + strategy);
            settings.push_back({names.back().c_str(), {cv::IMWRITE_PNG_COMPRESSION, level, cv::IMWRITE_PNG_STRATEGY, code}});
        }
    for (const Setting& setting : settings) {
        size_t bytes = 0;
        const double start = processCpuSeconds();
        for (const auto& depth : depths) {
            const cv::Mat image(720, 1280, CV_16UC1, const_cast<uint16_t*>(depth.data()));
            std::vector<uchar> png;
            cv::imencode(".png", image, png, setting.params);
            bytes += png.size();
        }
        const double ms = (processCpuSeconds() - start) * 1000.0 / depths.size();
        std::printf("png %-22s %8.1f KB  %6.1f ms per depth image\n", setting.name,
            static_cast<double>(bytes) / depths.size() / 1024.0, ms);
    }
}

// The card throttle's rate when it is loaded (LD_PRELOAD), else 0.
double throttleBytesPerSecond()
{
    using Rate = double (*)();
    const auto rate = reinterpret_cast<Rate>(dlsym(RTLD_DEFAULT, "kavrel_card_throttle_rate"));
    return rate ? rate() : 0.0;
}

ImuSample imuSample(uint64_t us, double phase)
{
    ImuSample sample;
    sample.accel[0] = 0.01 * std::sin(phase);
    sample.accel[1] = -9.79 + 0.02 * std::cos(phase);
    sample.accel[2] = 0.12;
    sample.gyro[0] = 0.001 * std::sin(phase * 3);
    sample.gyro[1] = 0.002;
    sample.gyro[2] = -0.001;
    sample.accelUs = us;
    sample.gyroUs = us + 2;
    sample.hostUtcUs = hostUtcMicros();
    return sample;
}

template <typename T>
std::unique_ptr<uint8_t[]> copyOut(const T* data, size_t bytes)
{
    auto buffer = std::make_unique<uint8_t[]>(bytes);
    std::memcpy(buffer.get(), data, bytes);
    return buffer;
}

// One frame set as the depth camera queues it: one copy out of each camera buffer.
FrameSet frameSetOf(const std::vector<uint8_t>& colour, const std::vector<uint16_t>& depth, std::string timestamp)
{
    FrameSet set;
    set.timestamp = std::move(timestamp);
    set.hostUtcUs = hostUtcMicros();
    set.colour = {copyOut(colour.data(), colour.size()), colour.size(), 1280, 720, 0, 0};
    set.depth = {copyOut(depth.data(), depth.size() * 2), depth.size() * 2, 1280, 720, 0, 0};
    return set;
}

double loadAverage()
{
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : 0.0;
}

size_t countFiles(const std::string& folder)
{
    size_t count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        count += entry.path().extension() == ".png";
    return count;
}

size_t countLines(const std::string& file)
{
    std::ifstream in(file);
    size_t count = 0;
    std::string line;
    while (std::getline(in, line))
        ++count;
    return count;
}

bool waitForRuns(const SaveWorker& task, uint64_t runs, int timeoutSeconds)
{
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (task.stats().runsCompleted < runs) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// 17-digit timestamps of a made-up clock, one per frame set.
std::string syntheticTimestamp(int index)
{
    char text[32];
    std::snprintf(text, sizeof text, "2099010100%02d%02d%03d", index / 60000 % 60, index / 1000 % 60, index % 1000);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    QCoreApplication app(argc, argv);
    // Per-frame debug lines would measure the console, not the worker.
    kavrel::log::logger().set_level(spdlog::level::warn);

    std::string base = options.dir;
    if (base.empty()) {
        char pattern[] = "/tmp/kavrel-bench-XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made) {
            std::perror("mkdtemp");
            return 1;
        }
        base = made;
    }
    fs::create_directories(base);

    std::printf("preparing frames...\n");
    std::vector<std::vector<uint8_t>> colours;
    std::vector<std::vector<uint16_t>> depths;
    makeFrames(options.pngSettings ? 8 : 6, colours, depths);
    if (options.pngSettings) {
        comparePngSettings(depths);
        return 0;
    }
    size_t colourBytes = 0;
    for (const auto& c : colours)
        colourBytes += c.size();
    std::printf("colour 1280x720 MJPG ~%zu KB, depth 1280x720 Y16 %zu KB, %d fps, IMU %d Hz, %d s, in %s\n",
        colourBytes / colours.size() / 1024, depths[0].size() * 2 / 1024, options.fps, options.imuHz, options.seconds,
        base.c_str());
    const double cardRate = throttleBytesPerSecond();
    if (cardRate > 0)
        std::printf("card throttled to %.1f MB/s\n", cardRate / 1e6);

    auto& context = CollectionContext::instance();
    context.setStorageRoot(base);
    CollectionInfo info;
    info.date = "20990101";
    info.city = "bench";
    info.scene_label = "scene";
    info.task_label = "task";
    info.part_number = "0";
    info.capture_mode = "continue_record";
    info.devices = "D1";
    context.setCollectionInfo(info);

    SaveWorker task;
    task.start();
    // Each run's session folder, as the worker names it on this thread.
    std::map<uint64_t, std::string> folders;
    QObject::connect(&task, &SaveWorker::sessionFolderReady, &task,
        [&folders](quint64 run, const QString& path) { folders[run] = path.toStdString(); });
    const auto folderOf = [&folders](uint64_t run) {
        while (folders.count(run) == 0) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return folders[run];
    };

    // ---- Live run at the camera's pace ----
    auto queues = std::make_shared<CaptureQueues>();
    const uint64_t liveRun = task.beginRun(true, queues, RunFolder::newSession());

    std::atomic<bool> producing{true};
    std::atomic<uint64_t> setsProduced{0}, setsRefused{0}, imuProduced{0}, imuRefused{0};
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(options.seconds);
    const double liveCpuStart = processCpuSeconds();

    std::thread camera([&] {
        const auto period = std::chrono::nanoseconds(1000000000LL / options.fps);
        std::string previous;
        for (uint64_t n = 0; producing; ++n) {
            const auto due = start + period * n;
            if (due >= end)
                break;
            std::this_thread::sleep_until(due);
            // A starved producer catching up must not give two frame sets one
            // name: a real camera's frames are never a millisecond apart.
            std::string timestamp = makeTimestampText();
            while (timestamp == previous) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                timestamp = makeTimestampText();
            }
            previous = timestamp;
            const auto& colour = colours[n % colours.size()];
            const auto& depth = depths[n % depths.size()];
            const bool ok = queues->pushDepthSet(frameSetOf(colour, depth, timestamp));
            setsProduced.fetch_add(1);
            if (!ok)
                setsRefused.fetch_add(1);
        }
    });
    std::thread imu([&] {
        const auto period = std::chrono::nanoseconds(1000000000LL / options.imuHz);
        for (uint64_t n = 0; producing; ++n) {
            const auto due = start + period * n;
            if (due >= end)
                break;
            std::this_thread::sleep_until(due);
            if (!queues->pushImu(imuSample(4000000000ULL + n * 5000ULL, n * 0.01)))
                imuRefused.fetch_add(1);
            imuProduced.fetch_add(1);
        }
    });

    double rssEarly = 0;
    double rssLate = 0;
    double rssPeak = 0;
    uint32_t deepestQueue = 0;
    const int earlySecond = std::min(5, std::max(1, options.seconds / 4));
    for (int second = 1; second <= options.seconds; ++second) {
        while (Clock::now() < start + std::chrono::seconds(second)) {
            deepestQueue = std::max(deepestQueue, queues->depthSets().size());
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const double rss = residentMegabytes();
        rssPeak = std::max(rssPeak, rss);
        if (second == earlySecond)
            rssEarly = rss;
        rssLate = rss;
        if (second % 10 == 0 || second == options.seconds) {
            const auto s = task.stats();
            std::printf("t=%3ds  frame sets produced %llu  colour saved %llu  depth saved %llu  queued %u  "
                        "imu produced %llu  rss %.1f MB\n",
                second, static_cast<unsigned long long>(setsProduced.load()),
                static_cast<unsigned long long>(s.colourImagesSaved), static_cast<unsigned long long>(s.depthImagesSaved),
                queues->depthSets().size(), static_cast<unsigned long long>(imuProduced.load()), rss);
            std::fflush(stdout);
        }
    }
    producing = false;
    camera.join();
    imu.join();

    // Stop, as the capture page does: the run writes its files and reports.
    const auto stopAt = Clock::now();
    task.endRun();
    if (!waitForRuns(task, 1, 120)) {
        std::printf("the save run did not finish\n");
        return 1;
    }
    const double finishSeconds = std::chrono::duration<double>(Clock::now() - stopAt).count();
    // The whole process (producers, IMU path, worker, encoders) per frame set at the camera's pace.
    const double liveCpuPerSet = (processCpuSeconds() - liveCpuStart) * 1000.0 / std::max<uint64_t>(1, setsProduced.load());
    const std::string session = folderOf(liveRun);
    const size_t colourSaved = countFiles(session + "/D1/color");
    const size_t depthSaved = countFiles(session + "/D1/depth");
    const size_t imuLines = countLines(session + "/D1/data.json");
    const uint64_t imuSaved = imuLines > 0 ? (imuLines - 1) / 2 : 0;
    const uint64_t setsSaved = std::min(colourSaved, depthSaved);
    const uint64_t setsDropped = setsProduced.load() - std::min<uint64_t>(setsProduced.load(), setsSaved);
    const uint64_t imuLost = imuProduced.load() - std::min<uint64_t>(imuProduced.load(), imuSaved);

    std::printf("live run: frame sets produced %llu, saved %llu (colour %zu, depth %zu), refused by full queues %llu\n",
        static_cast<unsigned long long>(setsProduced.load()), static_cast<unsigned long long>(setsSaved), colourSaved,
        depthSaved, static_cast<unsigned long long>(setsRefused.load()));
    std::printf("live run: imu samples produced %llu, saved %llu, refused by a full queue %llu\n",
        static_cast<unsigned long long>(imuProduced.load()), static_cast<unsigned long long>(imuSaved),
        static_cast<unsigned long long>(imuRefused.load()));
    std::printf("live run: deepest image queue %u of %u (bound %.0f MB), stop to durable result %.2f s, rss %.1f MB at %d s, "
                "%.1f MB at the end, peak %.1f MB\n",
        deepestQueue, CaptureQueues::frameSetCapacity, CaptureQueues::defaultMaxBacklogBytes / 1048576.0, finishSeconds,
        rssEarly, earlySecond, rssLate, rssPeak);
    std::printf("live run: %.1f ms of processor time per frame set, IMU included\n", liveCpuPerSet);

    // ---- Capacity: full queues, saving as fast as the worker can ----
    // Every set waits at once here: the bound must not refuse any.
    queues = std::make_shared<CaptureQueues>(std::numeric_limits<uint64_t>::max() / 2);
    // A session of its own, as after the finish button.
    folderOf(task.beginRun(false, queues, RunFolder::newSession()));
    for (int n = 0; n < options.capacitySets; ++n) {
        const std::string timestamp = syntheticTimestamp(n);
        const auto& colour = colours[n % colours.size()];
        queues->pushDepthSet(frameSetOf(colour, depths[n % depths.size()], timestamp));
    }
    const auto capacityStart = Clock::now();
    const double cpuStart = processCpuSeconds();
    const uint64_t cardBytesBefore = task.stats().cardBytesWritten;
    task.setWriteImages(true);
    const uint64_t depthBefore = task.stats().depthImagesSaved + task.stats().imagesFailed;
    while (task.stats().depthImagesSaved + task.stats().imagesFailed < depthBefore + options.capacitySets
        || queues->depthSets().size() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double capacitySeconds = std::chrono::duration<double>(Clock::now() - capacityStart).count();
    const double cpuPerSet = (processCpuSeconds() - cpuStart) * 1000.0 / options.capacitySets;
    const double capacityMb = (task.stats().cardBytesWritten - cardBytesBefore) / 1e6 / capacitySeconds;
    task.endRun();
    waitForRuns(task, 2, 120);
    const double capacity = options.capacitySets / capacitySeconds;
    std::printf("capacity run: %d frame sets in %.2f s, %.1f ms of processor time per frame set on %u cores "
                "(load average %.1f: other work shares them)\n",
        options.capacitySets, capacitySeconds, cpuPerSet, std::thread::hardware_concurrency(), loadAverage());

    // The capacity run hashes every file it writes, from memory; this is that share of its processor time.
    std::vector<std::vector<uchar>> pngs;
    for (const auto& depth : depths) {
        pngs.emplace_back();
        cv::imencode(".png", cv::Mat(720, 1280, CV_16UC1, const_cast<uint16_t*>(depth.data())), pngs.back());
    }
    const double hashStart = processCpuSeconds();
    for (int n = 0; n < options.capacitySets; ++n) {
        const auto& colour = colours[n % colours.size()];
        const auto& png = pngs[n % pngs.size()];
        if (checksums::sha256Hex(colour.data(), colour.size()).empty() || checksums::sha256Hex(png.data(), png.size()).empty())
            return 1;
    }
    const double hashPerSet = (processCpuSeconds() - hashStart) * 1000.0 / options.capacitySets;
    std::printf("hashing in memory: %.2f ms per frame set; %.1f ms per frame set without it, %.1f ms with it (%.1f%%)\n",
        hashPerSet, cpuPerSet - hashPerSet, cpuPerSet, 100.0 * hashPerSet / cpuPerSet);

    task.stop();
    if (!options.keep && options.dir.empty())
        fs::remove_all(base);

    std::printf("dropped frame sets: %llu\n", static_cast<unsigned long long>(setsDropped));
    std::printf("lost imu samples: %llu\n", static_cast<unsigned long long>(imuLost));
    std::printf("stop to durable result: %.2f s\n", finishSeconds);
    std::printf("capacity: %.1f frame sets/s, %.1f MB/s\n", capacity, capacityMb);
    std::printf("rss peak: %.1f MB\n", rssPeak);
    std::printf("rss growth: %.1f MB\n", rssLate - rssEarly);
    return 0;
}
