#include "uploader.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>
#include <system_error>

#include "Log.h"

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

constexpr int kUploadWorkers = 2;
constexpr int kAttemptsPerFile = 3;
constexpr int kFilesPerProgressReport = 5;
constexpr double kBytesPerGiB = 1024.0 * 1024.0 * 1024.0;

template <typename Callback>
void deliver(const Callback& callback, upload_info report)
{
    try {
        callback(std::move(report));
    } catch (const std::exception& e) {
        LOGE << "Upload progress receiver failed: " << e.what();
    }
}

} // namespace

std::string remote_session_path(const std::string& dataset_name, const std::string& session_name)
{
    const auto found = remote_prefix_map.find(session_name);
    const std::string prefix = found != remote_prefix_map.end() ? found->second : kDefaultRemotePrefix;
    return prefix + "/" + dataset_name + "/" + session_name;
}

uploader::uploader(dataset_ledger& ledger) : ledger_(ledger), transfer_(std::make_shared<local_file_check>()) {}

uploader::~uploader()
{
    stop();
}

std::size_t uploader::worker_count() const
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return workers_.size();
}

bool uploader::submit_upload(upload_request request)
{
    if (!request.callback) {
        LOGE << "Upload request without a receiver ignored: " << request.dataset_name;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        if (!running_.load()) {
            LOGW << "Upload request after stop ignored: " << request.dataset_name;
            return false;
        }
        // The request now belongs to the queue; a worker takes it out under this lock.
        upload_queue_.push_back(std::move(request));
        if (workers_.empty()) {
            for (int i = 0; i < kUploadWorkers; ++i)
                workers_.emplace_back(&uploader::upload_task, this);
        }
    }
    queue_cv_.notify_one();
    return true;
}

void uploader::stop()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        running_.store(false);
        for (auto& entry : cancel_flags_)
            entry.second.store(true);
    }
    queue_cv_.notify_all();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        workers.swap(workers_);
    }
    for (std::thread& worker : workers) {
        if (!worker.joinable())
            continue;
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();  // stop from a receiver: this worker leaves once it returns
        else
            worker.join();
    }
    LOGI << "file_manager stop called";
}

void uploader::upload_task()
{
    while (running_.load()) {
        upload_request request;
        {
            std::unique_lock<std::mutex> lock(queue_mutex_);
            while (upload_queue_.empty()) {
                if (!running_.load())
                    return;
                queue_cv_.wait(lock);
                if (!running_.load())
                    return;
            }
            request = std::move(upload_queue_.front());
            upload_queue_.pop_front();
        }
        upload_dataset(request);
    }
}

std::atomic<bool>& uploader::cancel_flag_for(const std::string& dataset_name)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    std::atomic<bool>& flag = cancel_flags_.try_emplace(dataset_name, false).first->second;
    // A dataset picked up while stop runs is cancelled like the others.
    if (!running_.load())
        flag.store(true);
    return flag;
}

void uploader::upload_dataset(const upload_request& request)
{
    const std::string& name = request.dataset_name;
    if (leaves_storage_root(name)) {
        LOGW << "Dataset name leaves the storage root: " << name;
        return;
    }
    const std::string path = ledger_.storage_root_path() + "/" + name;
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        LOGW << "Dataset directory not found or invalid: " << path;
        return;
    }
    const uint64_t total = get_dir_size(path);
    if (total == 0) {
        LOGW << "Dataset is empty: " << path;
        return;
    }

    upload_info report;
    report.total_bytes = total;
    LOGI << "Starting upload for dataset: " << name;
    std::atomic<bool>& cancel = cancel_flag_for(name);

    std::vector<fs::path> sessions;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code entry_ec;
        if (it->is_directory(entry_ec))
            sessions.push_back(it->path());
    }
    if (ec)
        LOGE << "Failed to list dataset directory: " << path << ", error: " << ec.message();

    uint64_t finished_sessions_bytes = 0;
    bool every_session_ok = true;
    for (const fs::path& session : sessions) {
        const std::string session_name = session.filename().string();
        LOGI << "Uploading session: " << session_name;
        const std::string remote = remote_session_path(name, session_name);
        LOGI << "Remote path: " << remote;

        uint64_t session_uploaded = 0;
        std::vector<std::string> session_failed;
        auto relay = [&](upload_info session_report) {
            report.uploaded_bytes = finished_sessions_bytes + session_report.uploaded_bytes;
            report.progress = static_cast<float>(static_cast<double>(report.uploaded_bytes) * 100.0 /
                static_cast<double>(total));
            report.finished = false;
            deliver(request.callback, report);
            session_uploaded = session_report.uploaded_bytes;
            session_failed = std::move(session_report.failed_files);
        };
        const bool ok = upload_session(session.string(), remote, cancel, relay);
        finished_sessions_bytes += session_uploaded;
        report.failed_files.insert(report.failed_files.end(), std::make_move_iterator(session_failed.begin()),
            std::make_move_iterator(session_failed.end()));
        if (!ok) {
            every_session_ok = false;
            if (cancel.load()) {
                LOGE << "Upload cancelled for session: " << session.string();
                break;
            }
            LOGE << "Upload failed for session: " << session.string();
        }
    }

    report.uploaded_bytes = finished_sessions_bytes;
    // A failed session (even one without files) keeps the dataset waiting.
    if (every_session_ok && report.uploaded_bytes == total) {
        ledger_.mark_completed(name);
        report.progress = 100.0f;
        report.finished = true;
    } else {
        report.progress = static_cast<float>(static_cast<double>(report.uploaded_bytes) * 100.0 /
            static_cast<double>(total));
        report.finished = false;
        LOGW << "Upload incomplete for dataset: " << name << ", " << report.uploaded_bytes << " of " << total
             << " bytes, " << report.failed_files.size() << " files failed";
    }
    deliver(request.callback, std::move(report));
}

bool uploader::upload_session(const std::string& session_dir, const std::string& remote_path,
    std::atomic<bool>& cancel, std::function<void(upload_info)> on_progress)
{
    fs::path absolute;
    try {
        absolute = fs::absolute(session_dir);
    } catch (const fs::filesystem_error& e) {
        LOGE << "Failed to get absolute path for session_dir: " << session_dir << ", error: " << e.what();
        return false;
    }
    LOGD << "Uploading session directory, original path: " << session_dir;
    LOGD << "Uploading session directory, absolute path: " << absolute.string();

    std::error_code ec;
    if (!fs::exists(absolute, ec)) {
        LOGE << "Session directory does not exist: " << absolute.string();
        return false;
    }
    if (!fs::is_directory(absolute, ec)) {
        LOGE << "Session path is not a directory: " << absolute.string();
        return false;
    }

    struct file_entry {
        uint64_t size;
        std::string key;
        std::string local_path;
    };
    std::vector<file_entry> files;
    uint64_t total = 0;
    try {
        for (fs::recursive_directory_iterator it(absolute), end; it != end; ++it) {
            std::error_code entry_ec;
            const bool regular = it->is_regular_file(entry_ec);
            uint64_t size = 0;
            if (!entry_ec && regular)
                size = it->file_size(entry_ec);
            if (entry_ec) {
                LOGW << "Error accessing file: " << it->path().string() << ", error: " << entry_ec.message();
                continue;
            }
            if (!regular)
                continue;
            files.push_back({size, remote_path + "/" + it->path().lexically_relative(absolute).generic_string(),
                it->path().string()});
            total += size;
        }
    } catch (const fs::filesystem_error& e) {
        LOGE << "Filesystem error while iterating directory: " << absolute.string() << ", error: " << e.what();
        return false;
    } catch (const std::exception& e) {
        LOGE << "Exception while iterating directory: " << absolute.string() << ", error: " << e.what();
        return false;
    }

    const std::size_t count = files.size();
    LOGD << "Found " << count << " files to upload, total size: " << total << " bytes";
    if (count == 0) {
        std::cerr << "没有找到可上传文件。\n";
        return false;
    }
    {
        std::ostringstream line;
        line << "准备上传 " << count << " 个文件，总大小 " << static_cast<double>(total) / kBytesPerGiB << " GB\n";
        std::cout << line.str();
    }

    std::atomic<uint64_t> uploaded{0};
    std::size_t succeeded = 0;
    std::size_t processed = 0;
    std::vector<std::string> failed;
    for (const file_entry& file : files) {
        for (int attempts_left = kAttemptsPerFile; attempts_left > 0;) {
            if (upload_file(file.local_path, kUploadBucket, file.key, static_cast<std::size_t>(file.size))) {
                ++succeeded;
                uploaded += file.size;
                break;
            }
            LOGE << "\n文件上传失败: " << file.local_path << ", 重试中...";
            if (--attempts_left == 0) {
                LOGE << "达到最大重试次数，跳过该文件。";
                failed.push_back(file.local_path);
                break;
            }
            if (cancel.load())
                return false;
        }
        if (cancel.load())
            return false;
        ++processed;
        if (processed % kFilesPerProgressReport == 0) {
            const uint64_t done = uploaded.load();
            const double percent = static_cast<double>(done) * 100.0 / static_cast<double>(total);
            std::ostringstream line;
            line << std::fixed << std::setprecision(2) << "\r上传进度: " << percent << "% ("
                 << static_cast<double>(done) / kBytesPerGiB << " / " << static_cast<double>(total) / kBytesPerGiB
                 << " GB)";
            std::cout << line.str() << std::flush;
            deliver(on_progress, upload_info{static_cast<float>(percent), done, total, failed, false});
        }
    }

    std::ostringstream line;
    line << "\n上传完成: " << succeeded << "/" << count << " 个文件成功\n";
    std::cout << line.str();
    const uint64_t done = uploaded.load();
    deliver(on_progress, upload_info{static_cast<float>(static_cast<double>(done) * 100.0 / static_cast<double>(total)),
        done, total, failed, true});
    return succeeded == count;
}

void uploader::set_transfer(std::shared_ptr<upload_transfer> transfer)
{
    if (!transfer)
        transfer = std::make_shared<local_file_check>();
    std::lock_guard<std::mutex> lock(transfer_mutex_);
    transfer_ = std::move(transfer);
}

std::shared_ptr<upload_transfer> uploader::current_transfer() const
{
    std::lock_guard<std::mutex> lock(transfer_mutex_);
    return transfer_;
}

bool uploader::upload_file(const std::string& local_path, const std::string& bucket, const std::string& key,
    std::size_t expected_size)
{
    const auto client = current_transfer();
    try {
        return client->put_object(local_path, bucket, key, expected_size);
    } catch (const std::exception& e) {
        LOGE << "upload_file: transfer failed for " << local_path << ", error: " << e.what();
        return false;
    }
}

