#pragma once
// The uploader: a queue of dataset upload requests and the worker that sends
// each dataset's files to the object store. A dataset is marked uploaded in
// the ledger only after every file is confirmed and its manifest
// (`<dataset key>/_manifest.json`) is written. The worker starts with the
// first request, not before.
//
// One listing of the store per dataset tells which files are there already
// (same size and ETag: skipped), so a cut upload resumes with the missing
// files only. Files go up several at a time: at first as many as
// parallel_files allows, then as many as keep the link full (its rate times
// its round trip, twice over, in files), never more than parallel_files.
//
// Threads: submit_upload, cancel_all, set_paused and stop come from any
// thread; mutex_ guards the queue, the worker and the pause and abort state.
// The ledger has its own lock; the two are never held together.

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
#include "object_store.h"

// One progress or final report of a dataset's upload.
struct upload_info {
    std::string dataset_name;
    float progress = 0.0f;                   // percent, 0 to 100
    uint64_t uploaded_bytes = 0;             // confirmed in the store (sent or already there)
    uint64_t total_bytes = 0;
    uint64_t sent_bytes = 0;                 // sent by this request (files already there not counted)
    std::size_t files_done = 0;
    std::size_t files_total = 0;
    std::size_t files_skipped = 0;           // already in the store with the same size and MD5
    std::vector<std::string> failed_files;   // local paths given up after the last attempt
    std::vector<std::string> refused_files;  // "<path>: <why>": links leaving the dataset, FIFOs, devices; never sent
    upload_failure failure = upload_failure::none;   // why the dataset did not complete
    bool finished = false;                   // the dataset is complete and marked in the ledger
    bool last = false;                       // no further report follows for this request
};

struct upload_request {
    // Called on an upload thread; a receiver that touches widgets must hand
    // the report over to the GUI thread itself. Must not be empty.
    std::function<void(upload_info)> callback;
    // The ledger row's folder below the storage root.
    std::string dataset_name;
};

// Session folder name -> remote prefix; names not listed use kDefaultRemotePrefix.
extern const std::map<std::string, std::string> remote_prefix_map;
inline constexpr const char* kDefaultRemotePrefix = "rosbags/gejian";
inline constexpr const char* kUploadBucket = "default-bucket";

// Keys: prefix/<dataset>/<session>/<path>, the prefix chosen by the session
// folder right below the dataset folder (the first component of the row's
// name). A flat row's files keep the key they always had; a nested row
// (date/task/part/time) is uploaded below the same path it has on the card.
std::string object_key(const std::string& dataset_name, const std::string& relative_path);
// Where the manifest of a row goes: <dataset key>/_manifest.json.
std::string dataset_key(const std::string& dataset_name);

class uploader {
public:
    explicit uploader(dataset_ledger& ledger);
    ~uploader();
    uploader(const uploader&) = delete;
    uploader& operator=(const uploader&) = delete;

    // Installs the store client and the number of files sent at once; a null
    // client turns uploads off, for the reason given (shown to the operator).
    void set_client(std::shared_ptr<object_store_client> client, int parallel_files, std::string off_reason = {});
    bool enabled() const;
    std::string off_reason() const;

    // Queues an upload of one ledger row; starts the worker on first use.
    // Every accepted request gets exactly one report with `last` set.
    bool submit_upload(upload_request request);

    // The operator's cancel: drops the queued requests and ends the
    // transfers in flight within a second. The worker keeps waiting.
    void cancel_all();

    // While paused, no new file is started; the files in flight finish.
    void set_paused(bool paused);

    // Stops for good: cancels like cancel_all, then joins the worker.
    void stop();

    // Whether a dataset (a ledger row's folder) is queued or being sent, so
    // that nothing deletes it underneath the upload.
    bool is_queued_or_sending(const std::string& dataset_name) const;

    bool is_running() const { return running_.load(); }
    // Threads started so far (none before the first request).
    std::size_t worker_count() const;

private:
    struct dataset_run;
    void upload_task();
    void upload_dataset(const upload_request& request, uint64_t generation);
    // Fills in which files the store holds; false when it cannot be listed.
    bool list_store(dataset_run& run);
    // Lists the store, then sends what it lacks; the senders' connections open meanwhile.
    void send_files(dataset_run& run);
    bool write_manifest(dataset_run& run);
    // Waits while paused; false once the run is aborted.
    bool wait_while_paused(const std::atomic<bool>& abort);
    // Sleeps for the back-off, or less when the run is aborted.
    void back_off(const std::atomic<bool>& abort, int attempt);

    dataset_ledger& ledger_;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::thread worker_;                            // guarded by mutex_
    std::deque<upload_request> queue_;              // guarded by mutex_
    std::string sending_;                           // guarded by mutex_; the dataset in flight
    bool paused_ = false;                           // guarded by mutex_
    std::atomic<bool>* active_abort_ = nullptr;     // guarded by mutex_; the running dataset's
    uint64_t cancel_generation_ = 0;                // guarded by mutex_; counts cancel_all calls
    std::shared_ptr<object_store_client> client_;   // guarded by mutex_
    int parallel_files_ = 4;                        // guarded by mutex_
    std::string off_reason_ = "未配置上传服务器";     // guarded by mutex_
};
