#pragma once
// The extra tags a confirmed snapshot may carry.

#include <string>
#include <utility>
#include <vector>

// The tags offered after a confirmed snapshot, as (value, label): the tag
// pairs of the group last chosen on the information page, minus the tags
// already chosen there.
std::vector<std::pair<std::string, std::string>> popupTagCandidates(
    const std::vector<std::pair<std::string, std::string>>& tagPairs, const std::vector<std::string>& selectedTags);
