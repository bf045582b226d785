#pragma once
// The terminal's side of the fleet, on a thread of its own: at start and
// every interval it takes a newer catalogue set from the store (not while
// the capture page is shown; the look waits until the page is left) and
// writes its status file. A finished upload asks for a status write too.
// Nothing here blocks the caller: recording and uploads never wait for it.
//
// Threads: every public function may be called from any thread; mutex_
// guards the wake-up state and the last upload's result.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_sync.h"
#include "dir_info.h"
#include "failed_check_tally.h"
#include "object_store.h"
#include "terminal_status.h"

class s3_client;

struct fleet_agent_settings {
    std::chrono::milliseconds interval = std::chrono::minutes(10);
    std::string machine_id;
    std::string catalogue_prefix = kDefaultCataloguePrefix;
    std::string scenario_root;      // holds the scenario_<stamp> sets
    std::string storage_root;       // the card whose free space is reported
    std::string version = KAVREL_PROGRAM_VERSION;
    // Read on the agent's thread: both must be safe to call from there.
    std::function<std::vector<dir_info>()> ledger_rows;
    std::function<bool()> ntp_synchronized;
    // Called on the agent's thread after a new set is in place.
    std::function<void(const std::string& set)> on_catalogue_installed;
};

class fleet_agent {
public:
    fleet_agent(std::shared_ptr<s3_client> client, fleet_agent_settings settings);
    ~fleet_agent();
    fleet_agent(const fleet_agent&) = delete;
    fleet_agent& operator=(const fleet_agent&) = delete;

    void start();
    // Ends the request in flight within a second and joins the thread.
    void stop();

    void set_capturing(bool capturing);
    // An upload ended; its result goes into the next status, written soon.
    // `manifest_key` names the stored manifest of a completed dataset, which
    // counts as uploaded even before the ledger row says so.
    void upload_finished(upload_failure result, const std::string& manifest_key = {});

    // What the next status file will say (without the store's clock offset).
    terminal_status current_status() const;
    // Status writes that reached the store, and those that did not.
    uint64_t status_writes() const { return status_writes_.load(); }
    uint64_t status_failures() const { return status_failures_.load(); }

private:
    void loop();
    void write_status();
    // Checks the sessions not checked yet (until capture starts); true when
    // the count of failed sessions changed.
    bool tally_failed_checks();

    std::shared_ptr<s3_client> client_;
    const fleet_agent_settings settings_;
    catalogue_sync catalogue_;          // used on the agent's thread only
    std::atomic<bool> cancel_{false};
    std::atomic<uint64_t> status_writes_{0};
    std::atomic<uint64_t> status_failures_{0};
    std::atomic<int64_t> failed_checks_{-1};   // -1: not known yet
    failed_check_tally failed_checks_tally_;   // used on the agent's thread only

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::thread thread_;                // guarded by mutex_
    bool running_ = false;              // guarded by mutex_
    bool capturing_ = false;            // guarded by mutex_
    bool status_due_ = false;           // guarded by mutex_
    std::time_t last_upload_time_ = 0;  // guarded by mutex_
    std::string last_upload_result_;    // guarded by mutex_
    std::set<std::string> uploaded_manifests_;  // guarded by mutex_
};

// Hands every request to the store client and tells the agent when a
// dataset's upload ended: its manifest stored, or a failure that ends it.
// Uploads may outlive the agent (at exit): it is held weakly.
class upload_reporting_client final : public object_store_client {
public:
    upload_reporting_client(std::shared_ptr<object_store_client> inner, std::weak_ptr<fleet_agent> agent)
        : inner_(std::move(inner)), agent_(std::move(agent)) {}
    put_outcome send_file(const dataset_file& file, const std::string& key, const stored_object* listed,
        const std::atomic<bool>& cancel) override;
    put_outcome put_bytes(const std::string& key, const std::string& body, const std::atomic<bool>& cancel) override;
    void open_connection(const std::atomic<bool>& cancel) override { inner_->open_connection(cancel); }
    list_outcome list_objects(const std::string& prefix, const std::atomic<bool>& cancel) override
    {
        return inner_->list_objects(prefix, cancel);
    }

private:
    void note(const std::string& key, const put_outcome& outcome);

    std::shared_ptr<object_store_client> inner_;
    std::weak_ptr<fleet_agent> agent_;
};
