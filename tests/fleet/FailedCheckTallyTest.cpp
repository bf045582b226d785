// Sessions failing their checks: each checked once and again when its row changes; no count before the card is seen.

#include <gtest/gtest.h>

#include <filesystem>

#include "RecordedSessions.h"
#include "failed_check_tally.h"

namespace fs = std::filesystem;

namespace {

class FailedCheckTally : public check_test::RecordedSessions {
protected:
    dir_info rowFor(const std::string& session, int64_t size = 1)
    {
        dir_info row;
        row.dir_name = fs::relative(session, storageRoot()).generic_string();
        row.size = size;
        return row;
    }
    std::string storageRoot() const { return CollectionContext::instance().storageRoot(); }
};

TEST_F(FailedCheckTally, CountsFailedSessionsOnceTheCardIsCheckedAndRechecksChangedRows)
{
    const std::string good = recordSession("continue_record", 3);
    const std::string damaged = recordSession("continue_record", 3, 10);
    stopWorker();
    // Without its index and checksums, so that removing a pair by hand repairs it.
    check_test::asOlderSession(damaged);
    fs::remove(fs::path(damaged) / "D1" / "depth" / (save_test::timestampAt(11) + ".png"));

    std::vector<dir_info> rows = {rowFor(good), rowFor(damaged), rowFor(storageRoot() + "/deleted/session")};
    rows.push_back(rowFor(storageRoot() + "/../outside"));
    failed_check_tally tally;
    int checks = 0;
    EXPECT_EQ(tally.update(storageRoot(), rows, [&] { return ++checks > 1; }), std::nullopt)
        << "capture began before the card was looked at";
    EXPECT_EQ(tally.update(storageRoot(), rows, [] { return false; }), std::optional<uint64_t>(1))
        << "folders gone or outside the card are not counted";

    // Repaired by hand: the same row is not read again; a changed row is.
    fs::remove_all(fs::path(damaged) / "D1" / "color" / (save_test::timestampAt(11) + ".png"));
    EXPECT_EQ(tally.update(storageRoot(), rows, [] { return true; }), std::optional<uint64_t>(1))
        << "nothing new to check, so no check was needed";
    rows[1].size = 2;
    EXPECT_EQ(tally.update(storageRoot(), rows, [] { return false; }), std::optional<uint64_t>(0));

    fs::remove(fs::path(damaged) / "D1" / "data.json");
    rows[1].size = 3;
    EXPECT_EQ(tally.update(storageRoot(), rows, [] { return false; }), std::optional<uint64_t>(1));
    rows.erase(rows.begin() + 1);
    EXPECT_EQ(tally.update(storageRoot(), rows, [] { return false; }), std::optional<uint64_t>(0))
        << "a session dropped from the ledger leaves the count";
}

} // namespace
