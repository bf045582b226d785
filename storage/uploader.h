#pragma once
// The uploader: a queue of dataset upload requests and the workers that walk
// each dataset's files and hand them to the per-file transfer step. A
// completed dataset is marked in the ledger. The workers start with the
// first request, not before.
//
// Threads: submit_upload and stop come from any thread; queue_mutex_ guards
// the queue, the workers and the cancel flags. The ledger has its own lock;
// the two are never held together.

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
#include <vector>

#include "ledger.h"
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

class uploader {
public:
    explicit uploader(dataset_ledger& ledger);
    ~uploader();
    uploader(const uploader&) = delete;
    uploader& operator=(const uploader&) = delete;

    // Queues an upload of one dataset folder; starts the workers on first use.
    bool submit_upload(upload_request request);

    // Stops the workers: cancels the datasets in progress, joins the threads.
    void stop();

    // Installs the object-store client used by upload_file; null restores the local check.
    void set_transfer(std::shared_ptr<upload_transfer> transfer);

    // Uploads one session folder; true only if every file went through and
    // no cancel was seen.
    bool upload_session(const std::string& session_dir, const std::string& remote_path, std::atomic<bool>& cancel,
        std::function<void(upload_info)> on_progress);
    // One transfer attempt for one file, through the installed transfer.
    bool upload_file(const std::string& local_path, const std::string& bucket, const std::string& key,
        std::size_t expected_size);

    bool is_running() const { return running_.load(); }
    // Number of worker threads started so far (none before the first request).
    std::size_t worker_count() const;

private:
    void upload_task();
    void upload_dataset(const upload_request& request);
    std::atomic<bool>& cancel_flag_for(const std::string& dataset_name);
    std::shared_ptr<upload_transfer> current_transfer() const;

    dataset_ledger& ledger_;
    std::atomic<bool> running_{true};
    mutable std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::vector<std::thread> workers_;              // guarded by queue_mutex_
    std::deque<upload_request> upload_queue_;       // guarded by queue_mutex_

    // Created under queue_mutex_, never removed (map nodes stay put), so a
    // worker may read its flag without the lock while stop sets it.
    std::map<std::string, std::atomic<bool>> cancel_flags_;

    mutable std::mutex transfer_mutex_;
    std::shared_ptr<upload_transfer> transfer_;     // guarded by transfer_mutex_; never null
};
