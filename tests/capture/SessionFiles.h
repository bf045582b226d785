#pragma once
// Reading back what a capture left on the card and in the ledger.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kavrel::test {

namespace fs = std::filesystem;

// Session folders: those below root that hold <device>/color.
inline std::vector<fs::path> sessionFolders(const fs::path& root, const std::string& device)
{
    std::set<fs::path> found;
    std::error_code absent;
    for (const auto& entry : fs::recursive_directory_iterator(root, absent)) {
        if (entry.is_directory() && entry.path().filename() == "color" &&
            entry.path().parent_path().filename() == device)
            found.insert(entry.path().parent_path().parent_path());
    }
    return {found.begin(), found.end()};
}

// File stems (timestamps) of the PNG files in a folder, sorted.
inline std::vector<std::string> pngStems(const fs::path& folder)
{
    std::vector<std::string> stems;
    std::error_code absent;
    for (const auto& entry : fs::directory_iterator(folder, absent)) {
        if (entry.path().extension() == ".png")
            stems.push_back(entry.path().stem().string());
    }
    std::sort(stems.begin(), stems.end());
    return stems;
}

// Frame sets are queued, written and dropped whole: colour and depth images pair.
inline void expectDepthPairsColour(const fs::path& deviceFolder)
{
    EXPECT_EQ(pngStems(deviceFolder / "color"), pngStems(deviceFolder / "depth"));
}

inline std::vector<std::string> fileLines(const fs::path& path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// First field of every ledger row (names without commas, spaces or quotes).
inline std::vector<std::string> ledgerNames(const fs::path& csv)
{
    std::vector<std::string> names;
    const auto lines = fileLines(csv);
    for (size_t i = 1; i < lines.size(); ++i) {
        if (!lines[i].empty())
            names.push_back(lines[i].substr(0, lines[i].find(',')));
    }
    return names;
}

// Ledger rows naming this session folder (relative to the card).
inline int ledgerRows(const fs::path& csv, const fs::path& session)
{
    const auto names = ledgerNames(csv);
    return static_cast<int>(std::count(names.begin(), names.end(), session.generic_string()));
}

} // namespace kavrel::test
