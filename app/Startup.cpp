#include "Startup.h"

#include <atomic>

#include <cstdio>
#include <future>
#include <thread>

#include <sys/wait.h>

#include <QStorageInfo>

#include "Log.h"

namespace {

double toGB(qint64 bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0);
}

} // namespace

std::vector<StorageVolume> mountedStorageVolumes()
{
    std::vector<StorageVolume> volumes;
    for (const QStorageInfo& info : QStorageInfo::mountedVolumes()) {
        StorageVolume volume;
        // device() may carry bytes past a NUL; the name ends at the first one.
        volume.device = QString::fromLocal8Bit(info.device().constData());
        volume.rootPath = info.rootPath();
        volume.fileSystemType = QString::fromLocal8Bit(info.fileSystemType().constData());
        volume.bytesTotal = info.bytesTotal();
        volume.bytesAvailable = info.bytesAvailable();
        volume.valid = info.isValid();
        volume.ready = info.isReady();
        volumes.push_back(volume);
    }
    return volumes;
}

bool getTFCardInfo(QString& path, qint64& total, qint64& available)
{
    return getTFCardInfo(mountedStorageVolumes(), path, total, available);
}

bool getTFCardInfo(const std::vector<StorageVolume>& volumes, QString& path, qint64& total, qint64& available)
{
    for (const StorageVolume& volume : volumes) {
        LOGD << "Found storage device: " << volume.device;
        LOGD << "  Mount point: " << volume.rootPath;
        LOGD << "  File system: " << volume.fileSystemType;
        LOGD << "  Total size: " << toGB(volume.bytesTotal) << " GB";
        LOGD << "  Available: " << toGB(volume.bytesAvailable) << " GB";

        const bool isCard = volume.device.contains("mmcblk") && !volume.rootPath.contains("overlay")
            && !volume.rootPath.contains("tmpfs") && volume.valid && volume.ready;
        if (!isCard)
            continue;
        path = volume.rootPath;
        total = volume.bytesTotal;
        available = volume.bytesAvailable;
        LOGI << "TF Card found: " << path;
        LOGI << "  Total: " << toGB(total) << " GB";
        LOGI << "  Available: " << toGB(available) << " GB";
        return true;
    }
    LOGW << "TF Card not found!";
    return false;
}

std::pair<int, std::string> asyncExecCommand(const std::string& command, int timeoutMs)
{
    // The worker owns its copy of the command; a late worker is waited for
    // when the future goes out of scope, as std::async futures do.
    std::future<std::pair<int, std::string>> result = std::async(std::launch::async, [command] {
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe)
            return std::make_pair(-1, std::string());
        std::string output;
        char buffer[128];
        while (fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        const int status = pclose(pipe);
        return std::make_pair((status >> 8) & 0xff, output);
    });
    if (result.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready)
        return {-2, "timeout"};
    return result.get();
}

namespace {
std::atomic<bool> ntpSynchronizedAtLastCheck_{false};
}

bool ntpSynchronizedAtLastCheck()
{
    return ntpSynchronizedAtLastCheck_.load();
}

void setNtpSynchronized(bool synchronized)
{
    ntpSynchronizedAtLastCheck_.store(synchronized);
}

bool checkNtpSynchronized(const std::string& command)
{
    const auto [code, output] = asyncExecCommand(command, 300);
    const bool synchronized = code == 0 && output.find("yes") != std::string::npos;
    if (synchronized)
        LOGI << "System time is synchronized via NTP.";
    else
        LOGW << "System time is not synchronized via NTP.";
    setNtpSynchronized(synchronized);
    return synchronized;
}
