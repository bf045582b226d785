#include "fleet_agent.h"

#include <sys/statvfs.h>

#include "Log.h"
#include "s3_client.h"
#include "scenario_tag_loader.h"
#include "store_manifest.h"
#include "uploader.h"

fleet_agent::fleet_agent(std::shared_ptr<s3_client> client, fleet_agent_settings settings)
    : client_(std::move(client)), settings_(std::move(settings)),
      catalogue_(client_, settings_.catalogue_prefix, settings_.scenario_root)
{
}

fleet_agent::~fleet_agent()
{
    stop();
}

void fleet_agent::start()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (running_)
        return;
    running_ = true;
    cancel_ = false;
    thread_ = std::thread([this] { loop(); });
}

void fleet_agent::stop()
{
    std::thread thread;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
        cancel_ = true;
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (thread.joinable())
        thread.join();
}

void fleet_agent::set_capturing(bool capturing)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        capturing_ = capturing;
    }
    wake_.notify_all();
}

void fleet_agent::upload_finished(upload_failure result, const std::string& manifest_key)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_upload_time_ = std::time(nullptr);
        last_upload_result_ = failure_name(result);
        if (!manifest_key.empty())
            uploaded_manifests_.insert(manifest_key);
        status_due_ = true;
    }
    wake_.notify_all();
}

bool fleet_agent::tally_failed_checks()
{
    if (!settings_.ledger_rows || settings_.storage_root.empty())
        return false;
    const auto stop = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return cancel_.load() || capturing_;
    };
    const std::optional<uint64_t> failed = failed_checks_tally_.update(settings_.storage_root, settings_.ledger_rows(), stop);
    if (!failed)
        return false;
    return failed_checks_.exchange(static_cast<int64_t>(*failed)) != static_cast<int64_t>(*failed);
}

terminal_status fleet_agent::current_status() const
{
    terminal_status status;
    status.machine_id = settings_.machine_id;
    status.version = settings_.version;
    status.catalogue = scenario_tag_loader::latest_scenario_folder_name(settings_.scenario_root);
    struct statvfs fs {};
    if (::statvfs(settings_.storage_root.c_str(), &fs) == 0)
        status.free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    std::vector<dir_info> rows = settings_.ledger_rows ? settings_.ledger_rows() : std::vector<dir_info>{};
    if (settings_.ntp_synchronized)
        status.ntp_synchronized = settings_.ntp_synchronized();
    if (const int64_t failed = failed_checks_.load(); failed >= 0)
        status.sessions_failed_check = static_cast<uint64_t>(failed);
    std::lock_guard<std::mutex> lock(mutex_);
    status.last_upload_time = last_upload_time_;
    status.last_upload_result = last_upload_result_;
    // The uploader marks the row a moment after the manifest is stored.
    for (dir_info& row : rows) {
        if (uploaded_manifests_.count(dataset_key(row.dir_name) + "/" + kManifestName))
            row.status = kStatusCompleted;
    }
    count_waiting(rows, status);
    return status;
}

void fleet_agent::write_status()
{
    terminal_status status = current_status();
    const put_outcome written = write_terminal_status(*client_, status, cancel_);
    if (written.ok()) {
        ++status_writes_;
        return;
    }
    // Tried again at the next interval.
    ++status_failures_;
    LOGW << "Terminal status not written: " << failure_name(written.failure) << " (" << written.detail << ")";
}

void fleet_agent::loop()
{
    auto next_look = std::chrono::steady_clock::now();
    bool catalogue_due = true;
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_) {
        wake_.wait_until(lock, next_look, [&] {
            return !running_ || status_due_ || (catalogue_due && !capturing_) ||
                std::chrono::steady_clock::now() >= next_look;
        });
        if (!running_)
            break;
        if (std::chrono::steady_clock::now() >= next_look) {
            next_look = std::chrono::steady_clock::now() + settings_.interval;
            catalogue_due = true;
            status_due_ = true;
        }
        // Without a HOME there is no scenario folder to fill.
        const bool look = catalogue_due && !capturing_ && !settings_.scenario_root.empty();
        const bool report = status_due_;
        status_due_ = false;
        if (look)
            catalogue_due = false;
        lock.unlock();
        if (look && catalogue_.run(cancel_) == catalogue_result::installed && settings_.on_catalogue_installed)
            settings_.on_catalogue_installed(catalogue_.installed_set());
        bool failed_checks_changed = false;
        if (report || look) {
            write_status();
            // Checked after the write, so a first look at a full card never
            // delays the status; a changed count is written at once.
            failed_checks_changed = tally_failed_checks();
        }
        lock.lock();
        status_due_ = status_due_ || failed_checks_changed;
    }
}

void upload_reporting_client::note(const std::string& key, const put_outcome& outcome)
{
    static const std::string manifest_tail = std::string("/") + kManifestName;
    const bool manifest = key.size() > manifest_tail.size() &&
        key.compare(key.size() - manifest_tail.size(), manifest_tail.size(), manifest_tail) == 0;
    const bool ended = (outcome.ok() && manifest) ||
        (!outcome.ok() && outcome.failure != upload_failure::cancelled && failure_ends_dataset(outcome.failure));
    if (!ended)
        return;
    if (const std::shared_ptr<fleet_agent> agent = agent_.lock())
        agent->upload_finished(outcome.failure, outcome.ok() ? key : std::string());
}

put_outcome upload_reporting_client::send_file(const dataset_file& file, const std::string& key,
    const stored_object* listed, const std::atomic<bool>& cancel)
{
    put_outcome outcome = inner_->send_file(file, key, listed, cancel);
    note(key, outcome);
    return outcome;
}

put_outcome upload_reporting_client::put_bytes(const std::string& key, const std::string& body,
    const std::atomic<bool>& cancel)
{
    put_outcome outcome = inner_->put_bytes(key, body, cancel);
    note(key, outcome);
    return outcome;
}
