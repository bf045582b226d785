#pragma once
// The one way to read a file of a session folder that this program did not
// write: cards rot, lose sectors in a power cut and pass through other hands.
//
// - Only regular files are opened (O_NONBLOCK, so a FIFO never blocks), and
//   no component of the path is followed as a link unless it stays inside
//   the session folder.
// - Every kind of file has a size bound checked before it is read, so no
//   file can make a reader allocate without limit.
// Nothing here throws; every refusal comes back with a reason for a person.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace session_file {

// Bounds, checked before reading. meta.yaml is a few kilobytes; a manifest
// grows by about 200 bytes a snapshot, so 8 MiB holds some 40 000.
inline constexpr uint64_t kMetaMaxBytes = 1u << 20;
inline constexpr uint64_t kManifestMaxBytes = 8u << 20;
inline constexpr size_t kImuLineMaxBytes = 64u << 10;

enum class Refusal {
    None,
    Missing,      // nothing there, or a link to nothing
    NotRegular,   // a FIFO, device, socket or folder where a file belongs
    LinkOutside,  // a link (at any level) that leads out of the session
    TooLarge,     // over the bound for its kind
    Unreadable,   // an I/O or permission error
};

struct Outcome {
    Refusal refusal = Refusal::None;
    std::string detail;  // why, for a person; empty when ok
    bool ok() const { return refusal == Refusal::None; }
};

// What is at <root>/<relative>, links inside root followed, nothing opened.
// Regular files and folders are ok; anything else is a refusal.
struct Entry {
    Outcome outcome;
    bool folder = false;
    uint64_t size = 0;
};
Entry inspect(const std::string& root, const std::string& relative);

// An open regular file of a session. Move-only; closes on destruction.
class File {
public:
    File() = default;
    ~File();
    File(File&& other) noexcept;
    File& operator=(File&& other) noexcept;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Opens <root>/<relative>; on refusal the File is closed and outcome says why.
    static File open(const std::string& root, const std::string& relative, Outcome& outcome);

    bool isOpen() const { return fd_ >= 0; }
    uint64_t size() const { return size_; }
    // Reads up to `count` more bytes (fewer at the end); false on an I/O error.
    bool read(size_t count, std::string& bytes, Outcome& outcome);
    // Exactly `length` bytes at `offset`, for a reader that goes back (an
    // upload sent again); false on an I/O error or a file shorter than that.
    bool readAt(uint64_t offset, size_t length, char* out) const;
    // The open file's status now: a change since opening shows in its size and times.
    bool status(struct stat& info) const;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// The whole file when it holds at most maxBytes.
Outcome readWhole(const std::string& root, const std::string& relative, uint64_t maxBytes, std::string& bytes);

// Reads a file line by line, each line at most maxLine bytes; a longer line
// is skipped and reported, never held whole.
class LineReader {
public:
    LineReader(File file, size_t maxLine);
    enum class Next { Line, TooLong, End, Error };
    // The next line without its '\n' (valid until the next call).
    Next next(std::string_view& line, Outcome& outcome);
    size_t lineNumber() const { return lineNumber_; }

private:
    bool fill(Outcome& outcome);

    File file_;
    size_t maxLine_;
    std::string buffer_;
    size_t start_ = 0;
    bool atEnd_ = false;
    size_t lineNumber_ = 0;
};

// True when the bytes are valid UTF-8 (no overlong forms, no surrogates).
bool isValidUtf8(std::string_view text);

} // namespace session_file
