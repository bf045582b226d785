#pragma once
// A scratch folder per test holding a storage root ("card") and a ledger file.

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <QTemporaryDir>

#include "TestSupport.h"

namespace storage_test {

namespace fs = std::filesystem;
using kavrel::test::readFile;
using kavrel::test::writeFile;

class ScratchDir {
public:
    ScratchDir() { fs::create_directories(card()); }

    std::string path() const { return dir_.path().toStdString(); }
    std::string card() const { return path() + "/card"; }
    std::string ledger() const { return path() + "/file_manager.csv"; }

private:
    QTemporaryDir dir_;
};

// Writes a file, making its folders first.
inline void put_file(const fs::path& path, const std::string& content)
{
    fs::create_directories(path.parent_path());
    writeFile(path, content);
}

inline void write_bytes(const fs::path& path, std::size_t count, char fill = 'x')
{
    put_file(path, std::string(count, fill));
}

inline int64_t mtime_of(const fs::path& path)
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtime;
}

} // namespace storage_test
