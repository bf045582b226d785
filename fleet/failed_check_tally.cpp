#include "failed_check_tally.h"

#include <filesystem>
#include <set>

#include "Log.h"
#include "SessionCheck.h"
#include "ledger.h"

std::optional<uint64_t> failed_check_tally::update(const std::string& storage_root,
    const std::vector<dir_info>& rows, const std::function<bool()>& stop)
{
    std::set<std::string> present;
    bool complete = true;
    for (const dir_info& row : rows) {
        std::error_code error;
        const std::string folder = storage_root + "/" + row.dir_name;
        if (leaves_storage_root(row.dir_name) || !std::filesystem::is_directory(folder, error))
            continue;  // deleted from the card, or a name that leaves it
        present.insert(row.dir_name);
        const auto known = checked_.find(row.dir_name);
        if (known != checked_.end() && known->second.size == row.size && known->second.time == row.creat_date)
            continue;
        if (stop()) {
            complete = false;
            break;
        }
        bool cancelled = false;
        const session_check::SessionReport report =
            session_check::checkSessions({folder}, 1, {}, [&] { return cancelled = cancelled || stop(); }).front();
        if (cancelled) {
            complete = false;
            break;
        }
        if (!report.passed())
            LOGW << "Session fails its checks: " << row.dir_name << " (" << report.problems.size() << " problems)";
        checked_[row.dir_name] = {row.size, row.creat_date, report.passed()};
    }
    for (auto it = checked_.begin(); it != checked_.end();)
        it = present.count(it->first) ? std::next(it) : checked_.erase(it);
    if (!complete)
        return std::nullopt;
    uint64_t failed = 0;
    for (const auto& [name, state] : checked_)
        failed += state.passed ? 0 : 1;
    return failed;
}
