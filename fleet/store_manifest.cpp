#include "store_manifest.h"

#include <openssl/evp.h>

#include <stdexcept>

#include <nlohmann/json.hpp>

bool parse_manifest(const std::string& text, const char* name_field, std::vector<manifest_entry>& files,
    std::string& error)
{
    files.clear();
    const nlohmann::json manifest = nlohmann::json::parse(text, nullptr, false);
    if (manifest.is_discarded() || !manifest.is_object()) {
        error = "not a JSON object";
        return false;
    }
    const auto list = manifest.find("files");
    if (list == manifest.end() || !list->is_array()) {
        error = "no files array";
        return false;
    }
    for (const auto& file : *list) {
        const auto name = file.is_object() ? file.find(name_field) : file.end();
        const auto size = file.is_object() ? file.find("size") : file.end();
        const auto sha = file.is_object() ? file.find("sha256") : file.end();
        if (name == file.end() || !name->is_string() || name->get<std::string>().empty() || size == file.end() ||
            !size->is_number_unsigned() || sha == file.end() || !sha->is_string() ||
            sha->get<std::string>().size() != 64) {
            error = "malformed entry " + file.dump();
            files.clear();
            return false;
        }
        files.push_back({name->get<std::string>(), size->get<uint64_t>(), sha->get<std::string>()});
    }
    return true;
}

bool is_plain_file_name(const std::string& name)
{
    if (name.empty() || name.front() == '.' || name.size() > 255)
        return false;
    for (unsigned char c : name) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

std::string folder_prefix(const std::string& prefix)
{
    std::string folder = prefix;
    while (!folder.empty() && folder.front() == '/')
        folder.erase(folder.begin());
    while (!folder.empty() && folder.back() == '/')
        folder.pop_back();
    return folder.empty() ? folder : folder + "/";
}

std::string join_key(const std::string& prefix, const std::string& name)
{
    return folder_prefix(prefix) + name;
}

struct sha256_stream::state {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ~state() { EVP_MD_CTX_free(ctx); }
};

sha256_stream::sha256_stream() : state_(std::make_unique<state>())
{
    if (!state_->ctx || !EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr))
        throw std::runtime_error("SHA-256 set-up failed");
}

sha256_stream::~sha256_stream() = default;

void sha256_stream::update(const char* data, std::size_t length)
{
    EVP_DigestUpdate(state_->ctx, data, length);
}

std::string sha256_stream::hex_digest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_DigestFinal_ex(state_->ctx, digest, &length);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i)
        out += {hex[digest[i] >> 4], hex[digest[i] & 0xf]};
    return out;
}

std::string sha256_hex(const std::string& bytes)
{
    sha256_stream stream;
    stream.update(bytes.data(), bytes.size());
    return stream.hex_digest();
}
