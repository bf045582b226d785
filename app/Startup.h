#pragma once
// The pieces of process start-up that tests drive on their own.

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <QString>
#include <QtGlobal>

// One mounted volume as the storage probe sees it.
struct StorageVolume {
    QString device;
    QString rootPath;
    QString fileSystemType;
    qint64 bytesTotal = 0;
    qint64 bytesAvailable = 0;
    bool valid = false;
    bool ready = false;
};

std::vector<StorageVolume> mountedStorageVolumes();

// Finds the SD card (first ready "mmcblk" volume not under overlay or tmpfs)
// and overwrites the three out-parameters; leaves them untouched otherwise.
bool getTFCardInfo(QString& path, qint64& total, qint64& available);
bool getTFCardInfo(const std::vector<StorageVolume>& volumes, QString& path, qint64& total, qint64& available);

// Runs a shell command on a worker thread and waits at most timeoutMs:
// (exit status, standard output), (-1, "") when it could not start,
// (-2, "timeout") when it did not finish in time.
std::pair<int, std::string> asyncExecCommand(const std::string& command, int timeoutMs);

// Asks timedatectl whether the clock is NTP-synchronised; logs and stores the answer.
bool checkNtpSynchronized(const std::string& command = "timedatectl show -p NTPSynchronized --value");
// The clock's NTP state as last checked (at start-up, then by the header's
// periodic check): one state for the header, the upload window and the fleet
// status. False before the first check.
bool ntpSynchronizedAtLastCheck();
void setNtpSynchronized(bool synchronized);
