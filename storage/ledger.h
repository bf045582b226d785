#pragma once
// The dataset ledger: file_manager.csv in the working directory lists every
// session folder on the storage card with its size and upload state. The rows
// live in memory and are rewritten to the file whole after every change.
//
// Threads: open and add_dir_record run on the GUI thread, mark_completed on
// an upload worker. mutex_ serialises every change of the rows together with
// the file write. The ledger does not upload.

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dir_info.h"

class dataset_ledger {
public:
    // Opens (or creates) the ledger file, loads it, drops the rows whose
    // folders are gone from the storage root, refreshes the sizes of folders
    // that grew and adds session folders that have no row as pending.
    bool open(const std::string& csv_path, std::string storage_root);

    // Records a session folder (relative to the storage root): a new row
    // waiting for upload, or a refresh of the size and time of an existing one.
    int add_dir_record(std::string new_dir_name, std::string new_dir_type);

    // Drops one row and rewrites the file; false when there is no such row.
    bool remove_record(const std::string& dir_name);

    // Marks a row uploaded now ("已完成", succ_up_date) and rewrites the file.
    bool mark_completed(const std::string& dir_name);

    // Rewrites the ledger file from the rows; false (and an error line) when
    // the file could not be replaced. Never leaves a half-written ledger.
    bool save_records();

    // Copies taken under the lock.
    std::vector<dir_info> records_snapshot() const;
    std::string csv_file() const;
    std::string storage_root_path() const;

private:
    bool save_records_locked();
    // Rows whose folders grew since they were recorded get their new size.
    bool refresh_grown_rows(std::vector<dir_info>& rows) const;
    // Session folders below the root that no row covers, added as pending.
    bool recover_orphans(std::vector<dir_info>& rows, const std::string& root) const;

    mutable std::mutex mutex_;
    std::string csv_path_;              // guarded by mutex_
    std::string storage_root_;          // guarded by mutex_
    std::vector<dir_info> records_;     // guarded by mutex_
};

// A relative name with a ".." part (or an absolute one) could reach outside
// the storage root.
bool leaves_storage_root(const std::string& name);

// Total bytes of the regular files below path (links followed); 0 on any failure.
uint64_t get_dir_size(const std::string& path);

// Name and st_mtime of each immediate subdirectory of path. `opened` tells
// whether the folder could be listed at all, so that an unreadable storage
// root is not mistaken for an empty one.
std::vector<std::pair<std::string, int64_t>> get_subdirectories(const std::string& path, bool& opened);
