#include "AtomicFile.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace atomic_file {

int writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (written == 0)
            return ENOSPC;
        data += written;
        size -= static_cast<size_t>(written);
    }
    return 0;
}

namespace {

std::string folderOf(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

Result failed(int error, const char* step, const std::string& path)
{
    return {error, true, std::string("cannot ") + step + " " + path + ": " + errorText(error)};
}

} // namespace

std::string errorText(int error)
{
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be the buffer.
    return std::string(strerror_r(error, buffer, sizeof buffer));
}

Result replace(const std::string& path, const void* data, size_t size, Durability durability)
{
    const std::string temporary = path + std::string(kTemporarySuffix);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Result result = failed(errno, "create", temporary);
        result.created = false;
        return result;
    }

    const char* step = "write";
    int error = writeAll(fd, static_cast<const char*>(data), size);
    if (error == 0 && durability == Durability::Synced && ::fsync(fd) != 0) {
        error = errno;
        step = "sync";
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
        step = "close";
    }
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = errno;
        step = "rename";
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        return failed(error, step, temporary);
    }
    // The rename changes the folder; only its fsync makes the new name durable.
    if (durability == Durability::Synced)
        syncDirectory(folderOf(path));
    return {};
}

bool syncDirectory(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

} // namespace atomic_file
