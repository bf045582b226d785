#pragma once
// How many of the card's recorded sessions fail kavrel-check's checks, for
// the terminal's status. Sessions are checked once and again only when their
// ledger row changes (size or time), so a day's card is read once, not every
// interval. Used on one thread (the fleet agent's).

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "dir_info.h"

class failed_check_tally {
public:
    // Checks the rows not checked yet, one session at a time, until `stop`
    // says so. Returns the sessions known to fail once every row present on
    // the card has been checked, nothing before.
    std::optional<uint64_t> update(const std::string& storage_root, const std::vector<dir_info>& rows,
        const std::function<bool()>& stop);

private:
    struct checked {
        int64_t size = 0;
        int64_t time = 0;
        bool passed = false;
    };
    std::map<std::string, checked> checked_;  // by the row's folder name
};
