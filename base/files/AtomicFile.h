#pragma once
// The one way Kavrel replaces a file: the bytes go to "<path>.part" beside it,
// which is renamed over path only once complete. Readers and a power cut see
// the old file or the new one, never half of one.

#include <cstddef>
#include <string>
#include <string_view>

namespace atomic_file {

enum class Durability {
    // fsync the file before the rename and the folder after it: the new
    // content is on the card when the call returns (ledger, meta.yaml, manifest).
    Synced,
    // Rename only; the caller flushes the file system later (a run's images).
    Deferred,
};

struct Result {
    int error = 0;       // errno of the failing call; 0 on success
    bool created = true; // false when not even the temporary file could be made
    std::string failure; // "cannot rename <path>.part: <reason>"; empty on success
    explicit operator bool() const { return error == 0; }
};

Result replace(const std::string& path, const void* data, size_t size, Durability durability = Durability::Synced);
inline Result replace(const std::string& path, std::string_view text, Durability durability = Durability::Synced)
{
    return replace(path, text.data(), text.size(), durability);
}

// The suffix of the temporary file, so that folder walkers can skip it.
inline constexpr std::string_view kTemporarySuffix = ".part";

// Writes all bytes to fd, retrying short writes and interruptions; 0 or errno.
int writeAll(int fd, const char* data, size_t size);

// fsync on a directory, so the names created or renamed in it survive a power cut.
bool syncDirectory(const std::string& path);

std::string errorText(int error);

} // namespace atomic_file
