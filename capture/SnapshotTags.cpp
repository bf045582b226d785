#include "SnapshotTags.h"

#include <algorithm>

std::vector<std::pair<std::string, std::string>> popupTagCandidates(
    const std::vector<std::pair<std::string, std::string>>& tagPairs, const std::vector<std::string>& selectedTags)
{
    std::vector<std::pair<std::string, std::string>> candidates;
    for (const auto& pair : tagPairs) {
        if (std::find(selectedTags.begin(), selectedTags.end(), pair.first) == selectedTags.end())
            candidates.push_back(pair);
    }
    return candidates;
}
