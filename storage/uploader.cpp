#include "uploader.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <system_error>

#include <nlohmann/json.hpp>

#include "Checksums.h"
#include "Log.h"
#include "SessionFile.h"

namespace fs = std::filesystem;

const std::map<std::string, std::string> remote_prefix_map = {
    {"all_close", "rosbags/gejian"},
    {"all_open", "rosbags/gejian"},
    {"cover_open", "rosbags/gejian"},
    {"urinal", "rosbags/fullscene"},
    {"outside", "rosbags/fullscene"},
    {"washbasin", "rosbags/fullscene"},
};

namespace {

constexpr int kAttemptsPerFile = 3;
constexpr auto kFirstBackOff = std::chrono::milliseconds(500);
constexpr const char* kManifestName = "_manifest.json";

std::string prefix_for(const std::string& session_name)
{
    const auto found = remote_prefix_map.find(session_name);
    return found != remote_prefix_map.end() ? found->second : kDefaultRemotePrefix;
}

// The component right below the dataset folder, or "" when there is none.
std::string session_component(const std::string& path)
{
    const auto first = path.find('/');
    if (first == std::string::npos)
        return {};
    const auto second = path.find('/', first + 1);
    return path.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

template <typename Callback>
void deliver(const Callback& callback, upload_info report)
{
    try {
        callback(std::move(report));
    } catch (const std::exception& e) {
        LOGE << "Upload progress receiver failed: " << e.what();
    }
}

struct file_entry {
    std::string local_path;
    dataset_file source;            // how the store client opens it
    std::string key;
    std::string store_prefix;       // of the key: `<prefix>/<dataset>/`, listed once for all its files
    uint64_t listed_size = 0;
    const stored_object* in_store = nullptr;   // what the store's listing showed under the key
    // Filled once the store confirmed it.
    uint64_t stored_size = 0;
    std::string sha256_hex;
    bool confirmed = false;
    std::string recorded_sha256;    // as the session's SHA256SUMS holds it, for a file unchanged since
};

// Once a full round of files went up: as many in flight as keep the link
// busy while each waits its round trip, with a margin, within the ceiling.
// Called under run.mutex.
template <typename Run>
void size_in_flight(Run& run)
{
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - run.sending_since).count();
    if (seconds <= 0 || run.report.sent_bytes == 0)
        return;
    const double bytes_per_s = static_cast<double>(run.report.sent_bytes) / seconds;
    const double file_bytes = static_cast<double>(run.report.sent_bytes) / static_cast<double>(run.files_sent);
    const auto wanted = static_cast<std::size_t>(std::ceil(2.0 * bytes_per_s * run.round_trip_s / file_bytes)) + 2;
    const std::size_t in_flight = std::min(wanted, run.in_flight.load());
    run.in_flight.store(in_flight);
    LOGI << "Sending " << in_flight << " files at a time (about " << bytes_per_s * 8e-6 << " Mbit/s, round trip "
         << run.round_trip_s * 1e3 << " ms)";
}

} // namespace

std::string object_key(const std::string& dataset_name, const std::string& relative_path)
{
    const std::string path = dataset_name + "/" + relative_path;
    return prefix_for(session_component(path)) + "/" + path;
}

std::string dataset_key(const std::string& dataset_name)
{
    const std::string session = session_component(dataset_name);
    return (session.empty() ? std::string(kDefaultRemotePrefix) : prefix_for(session)) + "/" + dataset_name;
}

struct uploader::dataset_run {
    const upload_request& request;
    std::shared_ptr<object_store_client> client;
    int parallel_files;
    std::vector<file_entry> files;
    std::map<std::string, stored_object> stored;   // key -> what the store holds
    std::atomic<bool> abort{false};
    std::atomic<std::size_t> next{0};
    // Senders numbered this or higher stop taking files.
    std::atomic<std::size_t> in_flight{0};
    double round_trip_s = 0;        // of the fastest listing request

    std::mutex mutex;               // guards report and the sending figures
    upload_info report;
    std::size_t files_sent = 0;
    std::chrono::steady_clock::time_point sending_since;
};

uploader::uploader(dataset_ledger& ledger) : ledger_(ledger) {}

uploader::~uploader()
{
    stop();
}

void uploader::set_client(std::shared_ptr<object_store_client> client, int parallel_files, std::string off_reason)
{
    std::lock_guard<std::mutex> lock(mutex_);
    client_ = std::move(client);
    parallel_files_ = std::max(1, parallel_files);
    off_reason_ = std::move(off_reason);
}

std::string uploader::off_reason() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return client_ ? std::string() : off_reason_;
}

bool uploader::enabled() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return client_ != nullptr;
}

std::size_t uploader::worker_count() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return worker_.joinable() ? 1 : 0;
}

bool uploader::submit_upload(upload_request request)
{
    if (!request.callback) {
        LOGE << "Upload request without a receiver ignored: " << request.dataset_name;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_.load()) {
            LOGW << "Upload request after stop ignored: " << request.dataset_name;
            return false;
        }
        if (!client_) {
            LOGW << "Uploads are off (no endpoint configured): " << request.dataset_name;
            return false;
        }
        // The request now belongs to the queue; the worker takes it out under this lock.
        queue_.push_back(std::move(request));
        if (!worker_.joinable())
            worker_ = std::thread(&uploader::upload_task, this);
    }
    wake_.notify_all();
    return true;
}

void uploader::cancel_all()
{
    std::deque<upload_request> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(queue_);
        ++cancel_generation_;
        if (active_abort_)
            active_abort_->store(true);
    }
    wake_.notify_all();
    for (const upload_request& request : dropped) {
        upload_info report;
        report.dataset_name = request.dataset_name;
        report.failure = upload_failure::cancelled;
        report.last = true;
        deliver(request.callback, std::move(report));
    }
    LOGI << "Uploads cancelled, " << dropped.size() << " queued datasets dropped";
}

void uploader::set_paused(bool paused)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (paused_ == paused)
            return;
        paused_ = paused;
    }
    LOGI << (paused ? "Uploads paused" : "Uploads resumed");
    wake_.notify_all();
}

void uploader::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_.exchange(false))
            return;  // stopped before
    }
    cancel_all();
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        worker.swap(worker_);
    }
    if (worker.joinable()) {
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();  // stop from a receiver: the worker leaves once it returns
        else
            worker.join();
    }
    LOGI << "file_manager stop called";
}

bool uploader::is_queued_or_sending(const std::string& dataset_name) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (sending_ == dataset_name)
        return true;
    return std::any_of(queue_.begin(), queue_.end(),
                       [&](const upload_request& queued) { return queued.dataset_name == dataset_name; });
}

void uploader::upload_task()
{
    for (;;) {
        upload_request request;
        uint64_t generation = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return !running_.load() || (!queue_.empty() && !paused_); });
            if (!running_.load())
                return;
            request = std::move(queue_.front());
            queue_.pop_front();
            generation = cancel_generation_;
            sending_ = request.dataset_name;
        }
        upload_dataset(request, generation);
        std::lock_guard<std::mutex> lock(mutex_);
        sending_.clear();
    }
}

bool uploader::wait_while_paused(const std::atomic<bool>& abort)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return !paused_ || abort.load(); });
    return !abort.load();
}

void uploader::back_off(const std::atomic<bool>& abort, int attempt)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, kFirstBackOff * (1 << (attempt - 1)), [&] { return abort.load(); });
}

void uploader::upload_dataset(const upload_request& request, uint64_t generation)
{
    const std::string& name = request.dataset_name;
    upload_info final_report;
    final_report.dataset_name = name;
    final_report.last = true;

    std::shared_ptr<object_store_client> client;
    int parallel_files = 1;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client = client_;
        parallel_files = parallel_files_;
    }
    const std::string root = ledger_.storage_root_path();
    std::error_code ec;
    if (leaves_storage_root(name) || !client || !fs::is_directory(root + "/" + name, ec)) {
        LOGW << "Dataset directory not found or invalid: " << root << "/" << name;
        final_report.failure = upload_failure::local_read;
        deliver(request.callback, std::move(final_report));
        return;
    }

    dataset_run run{request, client, parallel_files, {}, {}, {}, {}, {}, 0, {}, {}, 0, {}};
    const fs::path folder = fs::path(root) / name;
    try {
        for (fs::recursive_directory_iterator it(folder), end; it != end; ++it) {
            std::error_code entry_ec;
            if (it->is_directory(entry_ec) && !it->is_symlink(entry_ec))
                continue;
            // Read as every session reader reads: a link leaving the folder,
            // a FIFO or a device is named in the report and never sent.
            const std::string relative = it->path().lexically_relative(folder).generic_string();
            const session_file::Entry entry = session_file::inspect(folder.string(), relative);
            if (entry.outcome.ok() && entry.folder)
                continue;  // a link to a folder inside: its files are listed where they lie
            if (!entry.outcome.ok()) {
                LOGW << "Not uploaded: " << it->path().string() << " " << entry.outcome.detail;
                run.report.refused_files.push_back(it->path().string() + ": " + entry.outcome.detail);
                continue;
            }
            file_entry file;
            file.local_path = it->path().string();
            file.source = {folder.string(), relative};
            file.key = object_key(name, relative);
            file.store_prefix = file.key.substr(0, file.key.size() - relative.size());
            file.listed_size = it->file_size(entry_ec);
            if (entry_ec) {
                LOGW << "Error accessing file: " << file.local_path << ", error: " << entry_ec.message();
                continue;
            }
            run.files.push_back(std::move(file));
        }
    } catch (const std::exception& e) {
        LOGE << "Failed to list dataset directory: " << folder.string() << ", error: " << e.what();
        final_report.failure = upload_failure::local_read;
        deliver(request.callback, std::move(final_report));
        return;
    }
    std::sort(run.files.begin(), run.files.end(),
        [](const file_entry& a, const file_entry& b) { return a.local_path < b.local_path; });
    // The hashes the writer took from the bytes in memory stand for files not changed since.
    checksums::Sums recorded;
    for (const file_entry& file : run.files)
        if (fs::path(file.local_path).filename() == checksums::fileName)
            recorded.merge(checksums::recordedHashes(fs::path(file.local_path).parent_path().string()));
    for (file_entry& file : run.files)
        if (const auto known = recorded.find(file.local_path); known != recorded.end())
            file.recorded_sha256 = known->second;

    run.report.dataset_name = name;
    run.report.files_total = run.files.size();
    for (const file_entry& file : run.files)
        run.report.total_bytes += file.listed_size;
    if (run.files.empty()) {
        LOGW << "Dataset is empty: " << folder.string();
        final_report.failure = upload_failure::local_read;
        deliver(request.callback, std::move(final_report));
        return;
    }
    LOGI << "Starting upload for dataset: " << name << ", " << run.files.size() << " files, "
         << run.report.total_bytes << " bytes";

    {
        std::lock_guard<std::mutex> lock(mutex_);
        active_abort_ = &run.abort;
        // A cancel that came after this request left the queue still counts.
        if (!running_.load() || cancel_generation_ != generation)
            run.abort.store(true);
    }
    send_files(run);
    const bool every_file_confirmed = std::all_of(run.files.begin(), run.files.end(),
        [](const file_entry& file) { return file.confirmed; });
    const bool complete = every_file_confirmed && !run.abort.load() && write_manifest(run);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        active_abort_ = nullptr;
    }

    {
        std::lock_guard<std::mutex> lock(run.mutex);
        final_report = run.report;
    }
    final_report.last = true;
    if (complete) {
        ledger_.mark_completed(name);
        final_report.finished = true;
        final_report.failure = upload_failure::none;
        final_report.progress = 100.0f;
    } else {
        if (final_report.failure == upload_failure::none)
            final_report.failure = run.abort.load() ? upload_failure::cancelled : upload_failure::rejected;
        if (final_report.failure == upload_failure::clock_skew)
            LOGE << "The device clock is far from the object store's; uploads fail until the time is set (check NTP)";
        LOGW << "Upload incomplete for dataset: " << name << ", " << final_report.uploaded_bytes << " of "
             << final_report.total_bytes << " bytes, " << final_report.failed_files.size() << " files failed ("
             << failure_text(final_report.failure) << ")";
    }
    deliver(request.callback, std::move(final_report));
}

bool uploader::list_store(dataset_run& run)
{
    std::set<std::string> prefixes;
    for (const file_entry& file : run.files)
        prefixes.insert(file.store_prefix);
    for (const std::string& prefix : prefixes) {
        list_outcome listed;
        for (int attempt = 1; attempt <= kAttemptsPerFile; ++attempt) {
            const auto began = std::chrono::steady_clock::now();
            listed = run.client->list_objects(prefix, run.abort);
            const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            if (listed.ok() || run.abort.load() || failure_ends_dataset(listed.failure)) {
                if (listed.ok() && (run.round_trip_s == 0 || took < run.round_trip_s))
                    run.round_trip_s = took;
                break;
            }
            LOGE << "Store listing failed: " << prefix << " (" << failure_text(listed.failure) << ": "
                 << listed.detail << ")";
            if (attempt < kAttemptsPerFile)
                back_off(run.abort, attempt);
        }
        if (!listed.ok()) {
            LOGW << "Cannot tell which files the store holds: " << prefix << " (" << listed.detail << ")";
            std::lock_guard<std::mutex> lock(run.mutex);
            run.report.failure = listed.failure;
            return false;
        }
        for (stored_object& object : listed.objects)
            run.stored.emplace(object.key, std::move(object));
    }
    std::size_t held = 0;
    for (file_entry& file : run.files) {
        const auto found = run.stored.find(file.key);
        file.in_store = found == run.stored.end() ? nullptr : &found->second;
        held += file.in_store ? 1 : 0;
    }
    LOGI << "The store holds " << held << " of the " << run.files.size() << " files of " << run.request.dataset_name
         << " already (those with the same size and MD5 are not sent)";
    return true;
}

void uploader::send_files(dataset_run& run)
{
    const std::size_t ceiling = std::min<std::size_t>(static_cast<std::size_t>(run.parallel_files), run.files.size());
    run.in_flight.store(ceiling);
    std::mutex listing_mutex;
    std::condition_variable listing_done;
    int listing = 0;        // guarded by listing_mutex; 1 listed, -1 failed
    auto send_loop = [this, &run](std::size_t sender) {
        for (;;) {
            if (sender >= run.in_flight.load())
                return;
            const std::size_t index = run.next.fetch_add(1);
            if (index >= run.files.size() || !wait_while_paused(run.abort))
                return;
            file_entry& file = run.files[index];
            put_outcome outcome;
            for (int attempt = 1; attempt <= kAttemptsPerFile; ++attempt) {
                outcome = run.client->send_file(file.source, file.key, file.in_store, run.abort);
                if (outcome.ok() || run.abort.load())
                    break;
                LOGE << "文件上传失败: " << file.local_path << ", 重试中... (" << failure_text(outcome.failure)
                     << ": " << outcome.detail << ")";
                if (failure_ends_dataset(outcome.failure))
                    break;
                if (attempt == kAttemptsPerFile)
                    LOGE << "达到最大重试次数，跳过该文件。";
                else
                    back_off(run.abort, attempt);
            }
            // A server that stayed unreachable through every attempt is down for the other files too.
            const bool ends_dataset = failure_ends_dataset(outcome.failure) || outcome.failure == upload_failure::unreachable;
            if (ends_dataset && outcome.failure != upload_failure::cancelled) {
                std::lock_guard<std::mutex> lock(mutex_);
                run.abort.store(true);  // every other file would meet the same failure
                wake_.notify_all();
            }

            std::lock_guard<std::mutex> lock(run.mutex);
            upload_info& report = run.report;
            if (outcome.ok()) {
                if (outcome.size != file.listed_size) {
                    LOGW << "File changed since it was listed: " << file.local_path << ", listed "
                         << file.listed_size << " bytes, sent " << outcome.size;
                    report.total_bytes = report.total_bytes - file.listed_size + outcome.size;
                }
                file.confirmed = true;
                file.stored_size = outcome.size;
                const bool unchanged = !file.recorded_sha256.empty() && outcome.size == file.listed_size;
                file.sha256_hex = unchanged ? file.recorded_sha256 : outcome.sha256_hex;
                report.uploaded_bytes += outcome.size;
                ++report.files_done;
                if (outcome.skipped) {
                    ++report.files_skipped;
                } else {
                    report.sent_bytes += outcome.size;
                    if (++run.files_sent == static_cast<std::size_t>(run.parallel_files))
                        size_in_flight(run);
                }
            } else {
                if (outcome.failure != upload_failure::cancelled) {
                    report.failed_files.push_back(file.local_path);
                    report.failure = outcome.failure;
                } else if (report.failure == upload_failure::none) {
                    report.failure = upload_failure::cancelled;
                }
            }
            report.progress = report.total_bytes == 0 ? 100.0f
                : static_cast<float>(static_cast<double>(report.uploaded_bytes) * 100.0 /
                      static_cast<double>(report.total_bytes));
            // Called under run.mutex so reports arrive in order; receivers only hand them on.
            deliver(run.request.callback, report);
        }
    };

    std::vector<std::thread> senders;
    for (std::size_t i = 1; i < ceiling; ++i) {
        senders.emplace_back([&, i] {
            // Its connection's handshakes overlap the listing.
            run.client->open_connection(run.abort);
            std::unique_lock<std::mutex> lock(listing_mutex);
            listing_done.wait(lock, [&] { return listing != 0; });
            if (listing < 0)
                return;
            lock.unlock();
            send_loop(i);
        });
    }
    const bool listed = list_store(run);
    {
        std::lock_guard<std::mutex> lock(listing_mutex);
        listing = listed ? 1 : -1;
        run.sending_since = std::chrono::steady_clock::now();
    }
    listing_done.notify_all();
    if (listed)
        send_loop(0);
    for (std::thread& sender : senders)
        sender.join();
}

bool uploader::write_manifest(dataset_run& run)
{
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const file_entry& file : run.files)
        files.push_back({{"key", file.key}, {"size", file.stored_size}, {"sha256", file.sha256_hex}});
    const nlohmann::ordered_json manifest = {{"dataset", run.request.dataset_name}, {"files", files}};
    const std::string key = dataset_key(run.request.dataset_name) + "/" + kManifestName;
    put_outcome outcome;
    for (int attempt = 1; attempt <= kAttemptsPerFile; ++attempt) {
        outcome = run.client->put_bytes(key, manifest.dump(2) + "\n", run.abort);
        if (outcome.ok())
            return true;
        LOGE << "Manifest upload failed: " << key << " (" << failure_text(outcome.failure) << ": "
             << outcome.detail << ")";
        if (failure_ends_dataset(outcome.failure))
            break;
        if (attempt < kAttemptsPerFile)
            back_off(run.abort, attempt);
    }
    std::lock_guard<std::mutex> lock(run.mutex);
    run.report.failure = outcome.failure;
    return false;
}
