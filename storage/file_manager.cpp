#include "file_manager.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

#include "AtomicFile.h"
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

std::string errno_text(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// A relative name with a ".." part could reach outside the storage root.
bool leaves_storage_root(const std::string& name)
{
    for (const fs::path& part : fs::path(name)) {
        if (part == "..")
            return true;
    }
    return false;
}

// A power cut leaves the old file or the new one, never a cut-off one. On
// failure `path` is untouched and `error` says why.
bool replace_file_atomically(const std::string& path, const std::string& content, std::string& error)
{
    const atomic_file::Result result = atomic_file::replace(path, content);
    error = result.failure;
    return static_cast<bool>(result);
}

std::string read_whole_file(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
        throw std::runtime_error("cannot open " + path + ": " + errno_text(errno));
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad())
        throw std::runtime_error("cannot read " + path);
    return content.str();
}

// The next save replaces a ledger that did not load; keep its text aside so
// that the upload states in it can still be recovered by hand.
void keep_unreadable_ledger(const std::string& csv_path, const std::string& text)
{
    if (text.empty())
        return;
    const std::string copy = csv_path + ".unreadable-" + std::to_string(std::time(nullptr));
    std::string error;
    if (replace_file_atomically(copy, text, error))
        LOGW << "Unreadable ledger kept as: " << copy;
    else
        LOGE << "Failed to keep unreadable ledger: " << error;
}

// True when the row's folder is certainly gone; a folder that cannot be
// checked (I/O error, permissions) counts as present.
bool folder_is_gone(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return !S_ISDIR(st.st_mode);
    return errno == ENOENT || errno == ENOTDIR;
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

} // namespace

std::string remote_session_path(const std::string& dataset_name, const std::string& session_name)
{
    const auto found = remote_prefix_map.find(session_name);
    const std::string prefix = found != remote_prefix_map.end() ? found->second : kDefaultRemotePrefix;
    return prefix + "/" + dataset_name + "/" + session_name;
}

file_manager& file_manager::instance()
{
    static file_manager manager;
    return manager;
}

file_manager::file_manager() : transfer_(std::make_shared<local_file_check>()) {}

file_manager::~file_manager()
{
    stop();
    LOGI << "~file_manager";
}

bool file_manager::init(const std::string& new_csv_path, std::string new_storage_root)
{
    // The workers only wait on the queue until a request arrives.
    if (workers.empty()) {
        running.store(true);
        for (int i = 0; i < kUploadWorkers; ++i)
            workers.emplace_back(&file_manager::upload_task, this);
    }

    // A fresh ledger starts with its header, so it loads like any other.
    if (new_csv_path.empty() || ::access(new_csv_path.c_str(), F_OK) != 0) {
        std::string error;
        if (new_csv_path.empty() || !replace_file_atomically(new_csv_path, format_dir_records({}), error)) {
            LOGE << "Failed to create new CSV file: " << new_csv_path << (error.empty() ? "" : " (" + error + ")");
            return false;
        }
        LOGI << "Created ledger file: " << new_csv_path;
    }

    {
        std::lock_guard<std::mutex> lock(ledger_mutex_);
        csv_path = new_csv_path;
        storage_root = new_storage_root;
    }

    // Reading, parsing and checking folders happen without the lock; only
    // the hand-over of the rows (and a save) below takes it.
    std::string text;
    std::vector<dir_info> loaded;
    try {
        text = read_whole_file(new_csv_path);
        loaded = parse_dir_records(text);
    } catch (const std::exception& e) {
        LOGE << "Failed to load or parse CSV file: " << e.what();
        keep_unreadable_ledger(new_csv_path, text);
        return false;
    }

    bool listed = false;
    const auto subdirectories = get_subdirectories(new_storage_root, listed);
    if (!listed) {
        // An unreadable card says nothing about which folders are gone.
        LOGW << "Storage root cannot be listed, keeping all " << loaded.size() << " ledger rows";
        std::lock_guard<std::mutex> lock(ledger_mutex_);
        records = std::move(loaded);
        return true;
    }

    std::set<std::string> names;
    for (const auto& entry : subdirectories)
        names.insert(entry.first);
    std::vector<dir_info> kept;
    kept.reserve(loaded.size());
    std::size_t dropped = 0;
    for (dir_info& row : loaded) {
        if (names.count(row.dir_name) == 0 && folder_is_gone(new_storage_root + "/" + row.dir_name)) {
            LOGW << "Directory " << row.dir_name << " listed in CSV but not found on TF card. Removing from records.";
            ++dropped;
            continue;
        }
        kept.push_back(std::move(row));
    }

    std::lock_guard<std::mutex> lock(ledger_mutex_);
    records = std::move(kept);
    // The file already holds exactly these rows unless some were dropped.
    if (dropped > 0)
        return save_records_locked();
    return true;
}

int file_manager::add_dir_record(std::string new_dir_name, std::string new_dir_type)
{
    LOGD << "add_dir_record called with new_dir_name: " << new_dir_name << ", new_dir_type: " << new_dir_type;
    if (leaves_storage_root(new_dir_name)) {
        LOGE << "Directory name leaves the storage root: " << new_dir_name;
        return -1;
    }

    const std::string joined = storage_root_path() + "/" + new_dir_name;
    fs::path absolute;
    try {
        absolute = fs::absolute(joined);
    } catch (const fs::filesystem_error& e) {
        LOGE << "Failed to get absolute path for: " << joined << ", error: " << e.what();
        return -1;
    }
    LOGD << "Directory path (absolute): " << absolute.string();

    std::error_code ec;
    if (!fs::exists(absolute, ec)) {
        LOGE << "Directory does not exist: " << absolute.string();
        return -1;
    }
    if (!fs::is_directory(absolute, ec)) {
        LOGE << "Path is not a directory: " << absolute.string();
        return -1;
    }
    struct stat st {};
    if (::stat(absolute.c_str(), &st) != 0) {
        LOGE << "Failed to stat directory: " << absolute.string();
        return -1;
    }
    // Walking the folder is file work: done before the ledger lock is taken.
    const auto size = static_cast<int64_t>(get_dir_size(absolute.string()));
    const auto modified = static_cast<int64_t>(st.st_mtime);

    std::lock_guard<std::mutex> lock(ledger_mutex_);
    auto row = std::find_if(records.begin(), records.end(),
        [&](const dir_info& info) { return info.dir_name == new_dir_name; });
    if (row != records.end()) {
        LOGD << "Directory already exists in records, updating: " << new_dir_name;
        row->creat_date = modified;
        row->size = size;
    } else {
        LOGD << "Adding new directory record: " << new_dir_name;
        dir_info info;
        info.dir_name = new_dir_name;
        info.creat_date = modified;
        info.size = size;
        info.type = new_dir_type;
        info.status = kStatusWaitingUpload;
        info.succ_up_date = 0;
        records.push_back(std::move(info));
        LOGD << "Directory record added successfully, size: " << size << " bytes";
    }
    return save_records_locked() ? 0 : 1;
}

bool file_manager::save_records()
{
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    return save_records_locked();
}

bool file_manager::save_records_locked()
{
    if (csv_path.empty()) {
        LOGE << "Failed to write CSV file: no ledger file set, " << records.size() << " rows kept in memory";
        return false;
    }
    std::string error;
    if (!replace_file_atomically(csv_path, format_dir_records(records), error)) {
        // The rows stay in memory; the next change tries the file again.
        LOGE << "Failed to write CSV file: " << csv_path << ", error: " << error;
        return false;
    }
    return true;
}

std::vector<dir_info> file_manager::records_snapshot() const
{
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    return records;
}

std::string file_manager::csv_file() const
{
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    return csv_path;
}

std::string file_manager::storage_root_path() const
{
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    return storage_root;
}

// ---- upload worker ----

bool file_manager::submit_upload(upload_request request)
{
    if (!request.callback) {
        LOGE << "Upload request without a receiver ignored: " << request.dataset_name;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (!running.load()) {
            LOGW << "Upload request after stop ignored: " << request.dataset_name;
            return false;
        }
        // The request now belongs to the queue; a worker takes it out under this lock.
        upload_queue.push_back(std::move(request));
    }
    queue_cv.notify_one();
    return true;
}

void file_manager::stop()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        running.store(false);
        for (auto& entry : cancel_flags)
            entry.second.store(true);
    }
    queue_cv.notify_all();
    for (std::thread& worker : workers) {
        if (!worker.joinable())
            continue;
        if (worker.get_id() == std::this_thread::get_id())
            worker.detach();  // stop from a receiver: this worker leaves once it returns
        else
            worker.join();
    }
    workers.clear();
    LOGI << "file_manager stop called";
}

void file_manager::upload_task()
{
    while (running.load()) {
        upload_request request;
        {
            std::unique_lock<std::mutex> lock(queue_mutex);
            while (upload_queue.empty()) {
                if (!running.load())
                    return;
                queue_cv.wait(lock);
                if (!running.load())
                    return;
            }
            request = std::move(upload_queue.front());
            upload_queue.pop_front();
        }
        upload_dataset(request);
    }
}

std::atomic<bool>& file_manager::cancel_flag_for(const std::string& dataset_name)
{
    std::lock_guard<std::mutex> lock(queue_mutex);
    std::atomic<bool>& flag = cancel_flags.try_emplace(dataset_name, false).first->second;
    // A dataset picked up while stop runs is cancelled like the others.
    if (!running.load())
        flag.store(true);
    return flag;
}

void file_manager::upload_dataset(const upload_request& request)
{
    const std::string& name = request.dataset_name;
    if (leaves_storage_root(name)) {
        LOGW << "Dataset name leaves the storage root: " << name;
        return;
    }
    const std::string path = storage_root_path() + "/" + name;
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
        complete_dataset(name);
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

void file_manager::complete_dataset(const std::string& dataset_name)
{
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    auto row = std::find_if(records.begin(), records.end(),
        [&](const dir_info& info) { return info.dir_name == dataset_name; });
    if (row != records.end()) {
        row->status = kStatusCompleted;
        row->succ_up_date = static_cast<int64_t>(std::time(nullptr));
        LOGI << "Upload completed for dataset: " << dataset_name;
    } else {
        LOGW << "Upload completed for dataset without a ledger row: " << dataset_name;
    }
    save_records_locked();
}

bool file_manager::upload_session(const std::string& session_dir, const std::string& remote_path,
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

void file_manager::set_transfer(std::shared_ptr<upload_transfer> transfer)
{
    if (!transfer)
        transfer = std::make_shared<local_file_check>();
    std::lock_guard<std::mutex> lock(transfer_mutex_);
    transfer_ = std::move(transfer);
}

std::shared_ptr<upload_transfer> file_manager::current_transfer() const
{
    std::lock_guard<std::mutex> lock(transfer_mutex_);
    return transfer_;
}

bool file_manager::upload_file(const std::string& local_path, const std::string& bucket, const std::string& key,
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

// ---- folder helpers ----

uint64_t get_dir_size(const std::string& path)
{
    try {
        const fs::path absolute = fs::absolute(path);
        LOGD << "Calculating directory size for: " << absolute.string();
        if (!fs::exists(absolute)) {
            LOGE << "Directory does not exist: " << path;
            return 0;
        }
        if (!fs::is_directory(absolute)) {
            LOGE << "Path is not a directory: " << path;
            return 0;
        }
        uint64_t total = 0;
        for (fs::recursive_directory_iterator it(absolute), end; it != end; ++it) {
            std::error_code ec;
            const bool regular = it->is_regular_file(ec);
            if (!ec && regular) {
                const uint64_t size = it->file_size(ec);
                if (!ec)
                    total += size;
            }
            if (ec)
                LOGW << "Error accessing file: " << it->path().string() << ", error: " << ec.message();
        }
        LOGD << "Directory size calculated: " << total << " bytes (" << static_cast<double>(total) / 1048576.0
             << " MB)";
        return total;
    } catch (const fs::filesystem_error& e) {
        LOGE << "Filesystem error in get_dir_size for path: " << path << ", error: " << e.what();
    } catch (const std::exception& e) {
        LOGE << "Exception in get_dir_size for path: " << path << ", error: " << e.what();
    }
    return 0;
}

std::vector<std::pair<std::string, int64_t>> get_subdirectories(const std::string& path, bool& opened)
{
    std::vector<std::pair<std::string, int64_t>> subdirectories;
    DIR* dir = ::opendir(path.c_str());
    opened = dir != nullptr;
    if (!dir) {
        LOGE << "opendir failed: " << path;
        return subdirectories;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st {};
        if (::stat((path + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            subdirectories.emplace_back(name, static_cast<int64_t>(st.st_mtime));
    }
    ::closedir(dir);
    return subdirectories;
}
