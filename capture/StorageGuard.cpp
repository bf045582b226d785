#include "StorageGuard.h"

#include "SaveFiles.h"

const char* stopReasonText(StopReason reason)
{
    switch (reason) {
    case StopReason::Operator: return "operator";
    case StopReason::WriteFailed: return "write failure";
    case StopReason::StorageFloor: return "storage floor";
    case StopReason::CameraLost: return "camera lost";
    case StopReason::Exit: return "exit";
    }
    return "unknown";
}

StorageGuard::StorageGuard(FreeBytesProbe probe)
    : probe_(probe ? std::move(probe) : FreeBytesProbe(save_files::freeBytes))
{
}

std::optional<StopReason> StorageGuard::check(const std::string& root, long long startBytes)
{
    lastFreeBytes_ = probe_(root);
    if (lastFreeBytes_ >= 0 && lastFreeBytes_ < floorFor(startBytes))
        return StopReason::StorageFloor;
    return std::nullopt;
}
