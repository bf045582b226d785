// Start-up pieces of the terminal, and the log and collection info that threads share.

#include <QTemporaryDir>
#include <thread>

#include <gtest/gtest.h>

#include "CollectionContext.h"
#include "Log.h"
#include "Startup.h"

namespace {

StorageVolume volume(const char* device, const char* root, bool ready = true, qint64 total = 64LL << 30)
{
    return {device, root, "vfat", total, total / 2, true, ready};
}

} // namespace

TEST(StorageProbe, PicksFirstReadyCardOutsideOverlayAndTmpfsOrWarnsAndLeavesTheDefaults)
{
    kavrel::log::LogCapture capture;
    QString path = ".";
    qint64 total = 0;
    qint64 available = 7;
    EXPECT_FALSE(getTFCardInfo({volume("/dev/sda1", "/media/usb"), volume("/dev/mmcblk0p1", "/overlay")}, path,
        total, available));
    EXPECT_EQ(path, ".");
    EXPECT_EQ(available, 7);
    EXPECT_TRUE(capture.contains("WARN  ") && capture.contains("TF Card not found!"));

    const std::vector<StorageVolume> volumes = {
        volume("/dev/root", "/"),
        volume("/dev/mmcblk0p1", "/run/overlay/card"),
        volume("/dev/mmcblk0p2", "/mnt/tmpfs-card"),
        volume("/dev/mmcblk1p1", "/media/unready", false),
        volume("/dev/mmcblk1p2", "/media/sdcard", true, 32LL << 30),
        volume("/dev/mmcblk2p1", "/media/second"),
    };
    ASSERT_TRUE(getTFCardInfo(volumes, path, total, available));
    EXPECT_EQ(path, "/media/sdcard");
    EXPECT_EQ(total, 32LL << 30);
    EXPECT_EQ(available, 16LL << 30);
}

TEST(AsyncExecCommand, ReturnsExitStatusAndAllOutput)
{
    struct Case {
        const char* command;
        int code;
        size_t lines;
    };
    for (const Case& c : {Case{"printf 'line1\\n'; printf 'yes\\n'; exit 3", 3, 2}, Case{"true", 0, 0},
             Case{"seq 1 5000", 0, 5000}, Case{"/nonexistent/program-xyz 2>/dev/null", 127, 0}}) {
        const auto [code, output] = asyncExecCommand(c.command, 5000);
        EXPECT_EQ(code, c.code) << c.command;
        EXPECT_EQ(size_t(std::count(output.begin(), output.end(), '\n')), c.lines) << c.command;
    }
}

TEST(AsyncExecCommand, TimesOutButWaitsForTheWorker)
{
    QTemporaryDir dir;
    const std::string late = dir.filePath("late").toStdString();
    const auto [code, output] = asyncExecCommand("sleep 0.6; touch " + late, 100);
    EXPECT_EQ(code, -2);
    EXPECT_EQ(output, "timeout");
    EXPECT_TRUE(QFile::exists(QString::fromStdString(late))) << "the worker was abandoned, not waited for";
}

TEST(NtpCheck, SynchronisedOnlyWhenYesAndZeroExit)
{
    kavrel::log::LogCapture capture;
    EXPECT_TRUE(checkNtpSynchronized("echo yes"));
    EXPECT_FALSE(checkNtpSynchronized("echo no"));
    EXPECT_FALSE(checkNtpSynchronized("echo yes; exit 1"));
    EXPECT_FALSE(checkNtpSynchronized("sleep 0.5; echo yes"));
    EXPECT_TRUE(capture.contains("System time is not synchronized via NTP."));
}

TEST(Log, ConcurrentWritersKeepWholeLines)
{
    kavrel::log::LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                LOGD << "thread " << t << " line " << i;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.count("] thread "), 200);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(capture.count("thread " + std::to_string(t) + " line 49"), 1);
}

TEST(CollectionContext, ReadersSeeWholeInfoWhileWritersReplaceIt)
{
    auto& context = CollectionContext::instance();
    CollectionInfo a;
    a.task_label = "a";
    a.devices = "cam_a";
    CollectionInfo b;
    b.task_label = "b";
    b.devices = "cam_b";
    context.setCollectionInfo(a);

    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop) {
            const CollectionInfo copy = context.collectionInfo();
            if (copy.devices != "cam_" + copy.task_label)
                ++torn;
        }
    });
    for (int i = 0; i < 2000; ++i)
        context.setCollectionInfo(i % 2 ? a : b);
    stop = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    context.setCollectionInfo({});
}
