#include "Checksums.h"

#include <filesystem>

#include <openssl/evp.h>

#include "SessionFile.h"

namespace checksums {

struct Sha256::State {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    State() { EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr); }
    ~State() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256()
    : state_(std::make_unique<State>())
{
}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::add(const void* data, size_t size)
{
    if (size > 0)
        EVP_DigestUpdate(state_->ctx, data, size);
}

std::string Sha256::hexDigest() const
{
    // A copy finishes, so the running state goes on with later bytes.
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_MD_CTX_copy_ex(copy, state_->ctx);
    EVP_DigestFinal_ex(copy, digest, &length);
    EVP_MD_CTX_free(copy);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out.push_back(hex[digest[i] >> 4]);
        out.push_back(hex[digest[i] & 15]);
    }
    return out;
}

std::string sha256Hex(const void* data, size_t size)
{
    Sha256 hash;
    hash.add(data, size);
    return hash.hexDigest();
}

std::string render(const Sums& sums)
{
    std::string text;
    for (const auto& [path, hex] : sums)
        text += hex + "  " + path + "\n";
    return text;
}

Parsed parse(std::string_view text)
{
    Parsed parsed;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            continue;
        const bool hexOk = line.size() > 66 && line.substr(0, 64).find_first_not_of("0123456789abcdef") == std::string_view::npos;
        if (!hexOk || line[64] != ' ' || line[65] != ' ') {
            if (parsed.error.empty())
                parsed.error = std::string(line.substr(0, 120));
            continue;
        }
        parsed.sums[std::string(line.substr(66))] = std::string(line.substr(0, 64));
    }
    return parsed;
}

Sums recordedHashes(const std::string& folder)
{
    namespace fs = std::filesystem;
    Sums recorded;
    std::string text;
    // A list of 100 000 files is under 10 MiB.
    if (!session_file::readWhole(folder, fileName, 32u << 20, text).ok())
        return recorded;
    std::error_code error;
    const auto written = fs::last_write_time(folder + "/" + fileName, error);
    if (error)
        return recorded;
    for (auto& [relative, hex] : parse(text).sums) {
        const std::string path = folder + "/" + relative;
        const auto modified = fs::last_write_time(path, error);
        if (!error && modified <= written)
            recorded[path] = std::move(hex);
    }
    return recorded;
}

} // namespace checksums
