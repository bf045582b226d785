#pragma once
// The dataset ledger and the upload worker.
//
// The ledger (file_manager.csv in the working directory) lists every session
// folder written to the storage card with its size and upload state. The rows
// live in memory and are rewritten to the file whole after every change.
//
// Threads: init and add_dir_record run on the GUI thread; two upload workers
// complete rows. ledger_mutex_ serialises every change of the rows together
// with the file write; queue_mutex guards the upload queue and the cancel
// flags. Neither is held while the other is taken.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "dir_info.h"
#include "upload_transfer.h"

// One progress or final report of an upload, handed to the request's callback.
struct upload_info {
    float progress = 0.0f;                   // percent, 0 to 100
    uint64_t uploaded_bytes = 0;
    uint64_t total_bytes = 0;
    std::vector<std::string> failed_files;   // local paths given up after the last attempt
    bool finished = false;                   // true in the final report of a completed dataset
};

struct upload_request {
    // Called on an upload worker thread; a receiver that touches widgets must
    // hand the report over to the GUI thread itself. Must not be empty.
    std::function<void(upload_info)> callback;
    // Folder below the storage root; also the ledger row completed at the end.
    std::string dataset_name;
};

// Session folder name -> remote prefix; names not listed use kDefaultRemotePrefix.
extern const std::map<std::string, std::string> remote_prefix_map;
inline constexpr const char* kDefaultRemotePrefix = "rosbags/gejian";
inline constexpr const char* kUploadBucket = "default-bucket";
// The remote path of a session: prefix/dataset/session.
std::string remote_session_path(const std::string& dataset_name, const std::string& session_name);

class file_manager {
public:
    static file_manager& instance();

    // The process uses instance(); tests build their own.
    file_manager();
    ~file_manager();
    file_manager(const file_manager&) = delete;
    file_manager& operator=(const file_manager&) = delete;

    // Starts the two upload workers, then opens (or creates) the ledger file,
    // loads it and drops the rows whose folders are gone from the storage root.
    bool init(const std::string& csv_path, std::string storage_root);

    // Records a session folder (relative to the storage root): a new row
    // waiting for upload, or a refresh of the size and time of an existing one.
    int add_dir_record(std::string new_dir_name, std::string new_dir_type);

    // Drops the row of a session folder that was deleted and rewrites the
    // file; false when there was no such row or the file could not be written.
    bool remove_dir_record(const std::string& dir_name);

    // Rewrites the ledger file from the rows; false (and an error line) when
    // the file could not be replaced. Never leaves a half-written ledger.
    bool save_records();

    // Queues an upload of one dataset folder for the workers.
    bool submit_upload(upload_request request);

    // Stops the workers: cancels the datasets in progress, joins both threads.
    void stop();

    // Body of each upload worker thread; returns once running is cleared.
    void upload_task();
    // Uploads one session folder; true only if every file went through and
    // no cancel was seen.
    bool upload_session(const std::string& session_dir, const std::string& remote_path, std::atomic<bool>& cancel,
        std::function<void(upload_info)> on_progress);
    // One transfer attempt for one file, through the installed transfer.
    bool upload_file(const std::string& local_path, const std::string& bucket, const std::string& key,
        std::size_t expected_size);

    // Installs the object-store client used by upload_file; null restores the local check.
    void set_transfer(std::shared_ptr<upload_transfer> transfer);

    // Copies taken under the ledger lock.
    std::vector<dir_info> records_snapshot() const;
    std::string csv_file() const;
    std::string storage_root_path() const;
    bool is_running() const { return running.load(); }

private:
    bool save_records_locked();
    void upload_dataset(const upload_request& request);
    void complete_dataset(const std::string& dataset_name);
    std::atomic<bool>& cancel_flag_for(const std::string& dataset_name);
    std::shared_ptr<upload_transfer> current_transfer() const;

    std::atomic<bool> running{true};
    std::vector<std::thread> workers;
    std::mutex queue_mutex;
    std::condition_variable queue_cv;
    std::deque<upload_request> upload_queue;        // guarded by queue_mutex

    mutable std::mutex ledger_mutex_;
    std::string csv_path;                           // guarded by ledger_mutex_
    std::string storage_root;                       // guarded by ledger_mutex_
    std::vector<dir_info> records;                  // guarded by ledger_mutex_

    // Created under queue_mutex, never removed (map nodes stay put), so a
    // worker may read its flag without the lock while stop sets it.
    std::map<std::string, std::atomic<bool>> cancel_flags;

    mutable std::mutex transfer_mutex_;
    std::shared_ptr<upload_transfer> transfer_;     // guarded by transfer_mutex_; never null
};

// Total bytes of the regular files below path (links followed); 0 on any failure.
uint64_t get_dir_size(const std::string& path);

// Name and st_mtime of each immediate subdirectory of path. `opened` tells
// whether the folder could be listed at all, so that an unreadable storage
// root is not mistaken for an empty one.
std::vector<std::pair<std::string, int64_t>> get_subdirectories(const std::string& path, bool& opened);
