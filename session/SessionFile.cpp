#include "SessionFile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace session_file {

namespace {

// Links to links inside the session are followed this many times at most.
constexpr int kMaxLinkHops = 8;
constexpr size_t kReadChunk = 64u << 10;

std::vector<std::string> components(const std::string& relative)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= relative.size()) {
        const size_t slash = relative.find('/', start);
        const size_t end = slash == std::string::npos ? relative.size() : slash;
        std::string part = relative.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = end + 1;
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts, size_t count)
{
    std::string path;
    for (size_t i = 0; i < count && i < parts.size(); ++i)
        path += (i ? "/" : "") + parts[i];
    return path;
}

const char* kindOf(mode_t mode)
{
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

Outcome refuse(Refusal refusal, std::string detail)
{
    return {refusal, std::move(detail)};
}

Outcome fromErrno(int error)
{
    if (error == ENOENT)
        return refuse(Refusal::Missing, "does not exist");
    return refuse(Refusal::Unreadable, std::strerror(error));
}

std::string realPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

struct FdGuard {
    int fd = -1;
    ~FdGuard() { if (fd >= 0) ::close(fd); }
};

// Walks <root>/<relative> one component at a time without following links;
// a link is resolved and the walk restarts at its target when that lies
// inside root. With openLast the final component is opened (regular files
// only) and its descriptor returned in fd.
Outcome walk(const std::string& root, const std::string& relative, bool openLast, struct stat& info, int& fd,
    int hops = 0)
{
    fd = -1;
    FdGuard dir;
    dir.fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir.fd < 0)
        return fromErrno(errno);
    const std::vector<std::string> parts = components(relative);
    if (parts.empty()) {
        ::fstat(dir.fd, &info);
        return openLast ? refuse(Refusal::NotRegular, "is a folder, not a file") : Outcome{};
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        if (parts[i] == "..")
            return refuse(Refusal::LinkOutside, "leads out of the session");
        if (::fstatat(dir.fd, parts[i].c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
            return fromErrno(errno);
        if (S_ISLNK(info.st_mode)) {
            const std::string realRoot = realPath(root);
            const std::string target = realPath(root + "/" + joined(parts, i + 1));
            if (target.empty())
                return refuse(Refusal::Missing, "is a link to nothing");
            if (realRoot.empty() || (target != realRoot && target.rfind(realRoot + "/", 0) != 0))
                return refuse(Refusal::LinkOutside, "is a link to " + target + ", outside the session");
            if (hops >= kMaxLinkHops)
                return refuse(Refusal::Unreadable, "too many links");
            std::string rest = target.size() > realRoot.size() ? target.substr(realRoot.size() + 1) : std::string();
            for (size_t k = i + 1; k < parts.size(); ++k)
                rest += (rest.empty() ? "" : "/") + parts[k];
            return walk(realRoot, rest, openLast, info, fd, hops + 1);
        }
        if (!last) {
            if (!S_ISDIR(info.st_mode))
                return refuse(Refusal::NotRegular, joined(parts, i + 1) + " is " + kindOf(info.st_mode) + ", not a folder");
            const int next = ::openat(dir.fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0)
                return fromErrno(errno);
            ::close(dir.fd);
            dir.fd = next;
            continue;
        }
        // Checked before opening: opening a device can have effects of its own.
        if (openLast ? !S_ISREG(info.st_mode) : !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)))
            return refuse(Refusal::NotRegular, std::string("is ") + kindOf(info.st_mode) + ", not a regular file");
        if (!openLast)
            return {};
        // O_NONBLOCK and the second look guard against a swap after the first.
        fd = ::openat(dir.fd, parts[i].c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return fromErrno(errno);
        if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
            ::close(fd);
            fd = -1;
            return refuse(Refusal::NotRegular, "is not a regular file");
        }
        return {};
    }
    return {};
}

} // namespace

Entry inspect(const std::string& root, const std::string& relative)
{
    Entry entry;
    struct stat info {};
    int fd = -1;
    entry.outcome = walk(root, relative, false, info, fd);
    if (entry.outcome.ok()) {
        entry.folder = S_ISDIR(info.st_mode);
        entry.size = entry.folder ? 0 : static_cast<uint64_t>(info.st_size);
    }
    return entry;
}

File::~File()
{
    if (fd_ >= 0)
        ::close(fd_);
}

File::File(File&& other) noexcept : fd_(other.fd_), size_(other.size_)
{
    other.fd_ = -1;
}

File& File::operator=(File&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = other.fd_;
        size_ = other.size_;
        other.fd_ = -1;
    }
    return *this;
}

File File::open(const std::string& root, const std::string& relative, Outcome& outcome)
{
    File file;
    struct stat info {};
    outcome = walk(root, relative, true, info, file.fd_);
    if (outcome.ok())
        file.size_ = static_cast<uint64_t>(info.st_size);
    return file;
}

bool File::read(size_t count, std::string& bytes, Outcome& outcome)
{
    const size_t start = bytes.size();
    bytes.resize(start + count);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd_, bytes.data() + start + got, count - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            outcome = fromErrno(errno);
            bytes.resize(start + got);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(start + got);
    return true;
}

bool File::readAt(uint64_t offset, size_t length, char* out) const
{
    size_t done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool File::status(struct stat& info) const
{
    return fd_ >= 0 && ::fstat(fd_, &info) == 0;
}

Outcome readWhole(const std::string& root, const std::string& relative, uint64_t maxBytes, std::string& bytes)
{
    bytes.clear();
    Outcome outcome;
    File file = File::open(root, relative, outcome);
    if (!outcome.ok())
        return outcome;
    auto tooLarge = [&](uint64_t size) {
        return refuse(Refusal::TooLarge,
            "is " + std::to_string(size) + " bytes, more than the " + std::to_string(maxBytes) + " allowed");
    };
    if (file.size() > maxBytes)
        return tooLarge(file.size());
    // One byte more than allowed tells a file that grew since fstat.
    if (!file.read(static_cast<size_t>(maxBytes) + 1, bytes, outcome))
        return outcome;
    if (bytes.size() > maxBytes) {
        bytes.clear();
        return tooLarge(maxBytes + 1);
    }
    return {};
}

LineReader::LineReader(File file, size_t maxLine) : file_(std::move(file)), maxLine_(maxLine) {}

bool LineReader::fill(Outcome& outcome)
{
    buffer_.erase(0, start_);
    start_ = 0;
    const size_t before = buffer_.size();
    if (!file_.read(kReadChunk, buffer_, outcome))
        return false;
    atEnd_ = buffer_.size() == before;
    return true;
}

LineReader::Next LineReader::next(std::string_view& line, Outcome& outcome)
{
    bool skipping = false;  // inside a line already known to be too long
    for (;;) {
        const size_t newline = buffer_.find('\n', start_);
        if (newline != std::string::npos || (atEnd_ && start_ < buffer_.size())) {
            const size_t end = newline == std::string::npos ? buffer_.size() : newline;
            line = std::string_view(buffer_).substr(start_, end - start_);
            start_ = end + (newline == std::string::npos ? 0 : 1);
            if (skipping)
                return Next::TooLong;
            ++lineNumber_;
            return line.size() > maxLine_ ? Next::TooLong : Next::Line;
        }
        if (atEnd_)
            return skipping ? Next::TooLong : Next::End;
        if (!skipping && buffer_.size() - start_ > maxLine_) {
            // Too long already: drop what is held and read on to its end.
            ++lineNumber_;
            skipping = true;
        }
        if (skipping)
            start_ = buffer_.size();
        if (!fill(outcome))
            return Next::Error;
    }
}

bool isValidUtf8(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint32_t code = 0;
        if ((lead & 0xE0) == 0xC0) length = 2, code = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0) length = 3, code = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0) length = 4, code = lead & 0x07;
        else return false;
        if (i + length > size)
            return false;
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace session_file
