#pragma once
// Why a recording ended, and the free-space floor that ends one before the
// card is full. No Qt: the capture session decides, the page only tells.

#include <functional>
#include <optional>
#include <string>

enum class StopReason {
    Operator,      // the stop or finish button
    WriteFailed,   // a file could not be written; what is written stays whole
    StorageFloor,  // free space fell below the floor
    CameraLost,    // a camera that records stopped delivering
    Exit,          // back to the information page, or the program ends
};

// "operator", "write failure", ...: for log lines.
const char* stopReasonText(StopReason reason);

class StorageGuard {
public:
    // Free bytes under a folder, negative when unknown.
    using FreeBytesProbe = std::function<long long(const std::string& folder)>;

    explicit StorageGuard(FreeBytesProbe probe = {});

    // A recording stops once free space falls below this share of what a start needs.
    static long long floorFor(long long startBytes) { return startBytes / 4; }

    // Reads the free space of root; StorageFloor when it is known and below
    // the floor of startBytes, nothing while the recording may go on.
    std::optional<StopReason> check(const std::string& root, long long startBytes);
    // What the last check read (negative: unknown or never read).
    long long lastFreeBytes() const { return lastFreeBytes_; }

private:
    FreeBytesProbe probe_;
    long long lastFreeBytes_ = -1;
};
