#pragma once
// The process-wide storage objects: the dataset ledger and the uploader that
// sends its datasets to the object store. Start-up opens the ledger with
// init; the capture page records folders with add_dir_record.

#include <string>

#include "ledger.h"
#include "uploader.h"

class file_manager {
public:
    static file_manager& instance();

    // The process uses instance(); tests build their own.
    file_manager();
    ~file_manager();
    file_manager(const file_manager&) = delete;
    file_manager& operator=(const file_manager&) = delete;

    // Opens the ledger; the upload workers start only when there is work.
    bool init(const std::string& csv_path, std::string storage_root) { return ledger_.open(csv_path, storage_root); }
    int add_dir_record(std::string new_dir_name, std::string new_dir_type)
    {
        return ledger_.add_dir_record(std::move(new_dir_name), std::move(new_dir_type));
    }

    dataset_ledger& ledger() { return ledger_; }
    uploader& uploads() { return uploader_; }

private:
    dataset_ledger ledger_;
    uploader uploader_;  // declared after the ledger: stopped before the ledger goes
};
