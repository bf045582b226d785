#pragma once
// What the fleet tools share about the store: manifests (`_manifest.json`,
// written last, listing every file's size and SHA-256), key joining, safe
// names and a streaming SHA-256.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kManifestName = "_manifest.json";

struct manifest_entry {
    std::string name;        // the object's key (datasets) or file name (catalogue sets)
    uint64_t size = 0;
    std::string sha256;      // lower-case hex
};

// Reads the `files` array of a manifest; `name_field` is "key" for datasets
// and "name" for catalogue sets. False with the reason on anything malformed.
bool parse_manifest(const std::string& text, const char* name_field, std::vector<manifest_entry>& files,
    std::string& error);

// A single file name that stays inside the folder it is written to: no
// separator, not "." or "..", no control characters, not hidden.
bool is_plain_file_name(const std::string& name);

// "prefix/name" with exactly one slash between them; an empty prefix gives name.
std::string join_key(const std::string& prefix, const std::string& name);

// The prefix as a folder in the store: without leading slashes, with one trailing slash.
std::string folder_prefix(const std::string& prefix);

class sha256_stream {
public:
    sha256_stream();
    ~sha256_stream();
    sha256_stream(const sha256_stream&) = delete;
    sha256_stream& operator=(const sha256_stream&) = delete;
    void update(const char* data, std::size_t length);
    // Lower-case hex of everything fed so far; ends the stream.
    std::string hex_digest();

private:
    struct state;
    std::unique_ptr<state> state_;
};

std::string sha256_hex(const std::string& bytes);
