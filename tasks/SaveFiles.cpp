#include "SaveFiles.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "AtomicFile.h"

namespace save_files {

WriteResult writeFileReplacing(const std::string& path, const void* data, size_t size, bool sync)
{
    const auto result = atomic_file::replace(path, data, size,
        sync ? atomic_file::Durability::Synced : atomic_file::Durability::Deferred);
    if (!result)
        return {result.created ? WriteStatus::WriteFailed : WriteStatus::OpenFailed, result.error};
    return {};
}

AppendFile::~AppendFile()
{
    close();
}

bool AppendFile::open(const std::string& path)
{
    close();
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        lastError_ = errno;
        return false;
    }
    struct stat info{};
    goodSize_ = ::fstat(fd_, &info) == 0 ? static_cast<long long>(info.st_size) : 0;
    wasEmpty_ = goodSize_ == 0;
    droppedLines_ = 0;
    return true;
}

void AppendFile::appendLine(std::string_view line)
{
    pending_.append(line);
    pending_.push_back('\n');
    ++pendingLines_;
}

bool AppendFile::flush()
{
    if (pending_.empty())
        return true;
    if (fd_ < 0) {
        droppedLines_ += pendingLines_;
        pending_.clear();
        pendingLines_ = 0;
        return false;
    }
    const int error = atomic_file::writeAll(fd_, pending_.data(), pending_.size());
    const bool ok = error == 0;
    if (ok) {
        goodSize_ += static_cast<long long>(pending_.size());
        if (onWritten_)
            onWritten_(pending_);
    } else {
        lastError_ = error;
        droppedLines_ += pendingLines_;
        // Cut a partly written batch back to its last complete line.
        [[maybe_unused]] const int ignored = ::ftruncate(fd_, goodSize_);
    }
    pending_.clear();
    pendingLines_ = 0;
    return ok;
}

bool AppendFile::sync()
{
    bool ok = flush();
    if (fd_ >= 0 && ::fdatasync(fd_) != 0) {
        lastError_ = errno;
        ok = false;
    }
    return ok;
}

bool AppendFile::close()
{
    if (fd_ < 0)
        return true;
    bool ok = flush();
    if (::close(fd_) != 0) {
        lastError_ = errno;
        ok = false;
    }
    fd_ = -1;
    return ok;
}

bool syncFileSystem(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::syncfs(fd) == 0;
    ::close(fd);
    return ok;
}

long long freeBytes(const std::string& path)
{
    struct statvfs info {};
    if (::statvfs(path.c_str(), &info) != 0)
        return -1;
    return static_cast<long long>(info.f_bavail) * static_cast<long long>(info.f_frsize);
}

bool canCreateFiles(const std::string& dir, int& error)
{
    std::string scratch = dir + "/.kavrel-write-probe-XXXXXX";
    const int fd = ::mkstemp(scratch.data());
    if (fd < 0) {
        error = errno;
        return false;
    }
    ::close(fd);
    ::unlink(scratch.c_str());
    error = 0;
    return true;
}

} // namespace save_files
