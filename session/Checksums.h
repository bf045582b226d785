#pragma once
// SHA-256 of the files a session holds, taken from the bytes as they are
// written, and <session>/SHA256SUMS, the list in the format of coreutils'
// sha256sum ("<64 hex>  <path>", sorted by path), so that a copy taken off
// the card can be checked with `sha256sum -c SHA256SUMS`.

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace checksums {

inline constexpr const char* fileName = "SHA256SUMS";

// An incremental SHA-256; digest() may be asked at any time and the bytes
// that follow still count.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    void add(const void* data, size_t size);
    void add(std::string_view text) { add(text.data(), text.size()); }
    std::string hexDigest() const;  // 64 lowercase hex digits

private:
    struct State;
    std::unique_ptr<State> state_;
};

std::string sha256Hex(const void* data, size_t size);
inline std::string sha256Hex(std::string_view text) { return sha256Hex(text.data(), text.size()); }

// Path relative to the session folder -> its hex digest.
using Sums = std::map<std::string, std::string>;

std::string render(const Sums& sums);

struct Parsed {
    Sums sums;
    std::string error;  // the first line that is not "<64 hex>  <path>"; empty when all are
};
Parsed parse(std::string_view text);

// The hashes <folder>/SHA256SUMS records for files not modified since it was
// written, keyed by "<folder>/<relative path>"; empty when it cannot be read.
Sums recordedHashes(const std::string& folder);

} // namespace checksums
