#pragma once
// File writing for the save worker: whole files appear under their final
// name only when complete (written to "<name>.part", then renamed), append
// files never keep half a line, and finished runs can be made durable.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace save_files {

enum class WriteStatus { Ok, OpenFailed, WriteFailed };

struct WriteResult {
    WriteStatus status = WriteStatus::Ok;
    int error = 0;  // errno of the failing call
    explicit operator bool() const { return status == WriteStatus::Ok; }
};

// Writes size bytes to path via "<path>.part" and a rename; on failure the
// partial file is removed and path is left as it was. With sync the data
// reaches the card before the rename (for files rewritten in place).
WriteResult writeFileReplacing(const std::string& path, const void* data, size_t size, bool sync);

// An append-only text file fed line by line. Lines wait in memory until
// flush(); a write that fails (card full, card gone) is rolled back to the
// last complete line, so the file never ends in half a line.
class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens (creating) path for appending; false with errno in lastError().
    bool open(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    // True when the file held no bytes when it was opened.
    bool wasEmpty() const { return wasEmpty_; }
    void appendLine(std::string_view line);
    size_t pendingBytes() const { return pending_.size(); }
    // Writes the waiting lines; on failure they are dropped (and counted).
    bool flush();
    // flush() and then the file's data to the card.
    bool sync();
    bool close();
    int lastError() const { return lastError_; }
    // Lines dropped by failed writes since open().
    size_t droppedLines() const { return droppedLines_; }
    // Called with the bytes of each write that reached the file whole.
    void setOnWritten(std::function<void(std::string_view)> onWritten) { onWritten_ = std::move(onWritten); }

private:
    int fd_ = -1;
    bool wasEmpty_ = true;
    long long goodSize_ = 0;
    std::string pending_;
    size_t pendingLines_ = 0;
    size_t droppedLines_ = 0;
    int lastError_ = 0;
    std::function<void(std::string_view)> onWritten_;
};

// Flushes everything written to the file system that holds path.
bool syncFileSystem(const std::string& path);

// Bytes an unprivileged writer may still use on the file system of path; -1
// when it cannot be asked (the path is missing).
long long freeBytes(const std::string& path);
// Creates and removes a scratch file in dir: whether files can be made
// there now (read-only, missing, no permission: false, errno in error).
bool canCreateFiles(const std::string& dir, int& error);

} // namespace save_files
