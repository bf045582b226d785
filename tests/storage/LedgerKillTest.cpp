// A kill while the ledger is being saved leaves a ledger that loads, with every row saved before.

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "Log.h"
#include "StorageTestSupport.h"
#include "ledger.h"

extern char** environ;

using namespace storage_test;

namespace {

pid_t spawn_writer(const std::string& csv, const std::string& root, long first_index)
{
    const std::string index = std::to_string(first_index);
    char* const argv[] = {const_cast<char*>(LEDGER_WRITER_PATH), const_cast<char*>(csv.c_str()),
        const_cast<char*>(root.c_str()), const_cast<char*>(index.c_str()), nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, LEDGER_WRITER_PATH, nullptr, nullptr, argv, environ) == 0 ? pid : -1;
}

} // namespace

TEST(LedgerKill, KilledWriterNeverLeavesAnUnreadableLedger)
{
    ScratchDir scratch;
    // A busy card's ledger: each save writes a few hundred kilobytes, so kills land inside writes.
    std::vector<dir_info> rows;
    for (int i = 0; i < 3000; ++i) {
        const std::string name = "20240101-北京-场景/task/0/2024010112" + std::to_string(100000 + i);
        fs::create_directories(fs::path(scratch.card()) / name);
        rows.push_back({name, 1700000000 + i, 123456, "采集", kStatusWaitingUpload, 0});
    }
    writeFile(scratch.ledger(), format_dir_records(rows));

    std::mt19937 random(20240101);
    std::uniform_int_distribution<int> delay_ms(0, 250);
    std::size_t previous = rows.size();
    long next_index = 0;
    for (int round = 0; round < 12; ++round) {
        const auto size_before = fs::file_size(scratch.ledger());
        const pid_t pid = spawn_writer(scratch.ledger(), scratch.card(), next_index);
        ASSERT_GT(pid, 0);
        // Kill it at a random point once it saved (start-up is slow under the sanitizers).
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (fs::file_size(scratch.ledger()) == size_before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms(random)));
        ASSERT_EQ(::kill(pid, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;

        std::vector<dir_info> loaded;
        ASSERT_NO_THROW(loaded = parse_dir_records(readFile(scratch.ledger()))) << "round " << round;
        ASSERT_GT(loaded.size(), previous) << "saved rows were lost in round " << round;
        ASSERT_TRUE(std::equal(rows.begin(), rows.end(), loaded.begin())) << "old rows changed in round " << round;
        previous = loaded.size();
        next_index += 100000;
    }

    kavrel::log::LogCapture log;
    dataset_ledger manager;
    EXPECT_TRUE(manager.open(scratch.ledger(), scratch.card()));
    EXPECT_FALSE(log.contains("Failed to load or parse CSV file"));
    EXPECT_EQ(manager.records_snapshot().size(), previous);
}
