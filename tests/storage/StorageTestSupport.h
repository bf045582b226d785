#pragma once
// A scratch folder per test holding a storage root ("card") and a ledger file.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace storage_test {

namespace fs = std::filesystem;

class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (fs::temp_directory_path() / "kavrel-storage-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
        fs::create_directories(card());
    }
    ~ScratchDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string path() const { return path_.string(); }
    std::string card() const { return (path_ / "card").string(); }
    std::string ledger() const { return (path_ / "file_manager.csv").string(); }

private:
    fs::path path_;
};

inline void write_bytes(const fs::path& path, std::size_t count, char fill = 'x')
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << std::string(count, fill);
}

inline std::string read_text(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_text(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

inline int64_t mtime_of(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtime;
}

} // namespace storage_test
