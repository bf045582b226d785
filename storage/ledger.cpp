#include "ledger.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

#include "AtomicFile.h"
#include "Log.h"
#include "SessionFolder.h"

namespace fs = std::filesystem;

namespace {

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
        throw std::runtime_error("cannot open " + path + ": " + atomic_file::errorText(errno));
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

// A folder is the row's folder or lies below it.
bool covered_by(const std::string& folder, const std::string& row)
{
    return folder == row || (folder.size() > row.size() && folder.compare(0, row.size(), row) == 0 &&
        folder[row.size()] == '/');
}

bool covered_by_any(const std::string& folder, const std::vector<dir_info>& rows)
{
    return std::any_of(rows.begin(), rows.end(), [&](const dir_info& row) { return covered_by(folder, row.dir_name); });
}

dir_info pending_row(const std::string& name, const std::string& type, int64_t modified, int64_t size)
{
    dir_info info;
    info.dir_name = name;
    info.creat_date = modified;
    info.size = size;
    info.type = type;
    info.status = kStatusWaitingUpload;
    info.succ_up_date = 0;
    return info;
}

} // namespace

bool leaves_storage_root(const std::string& name)
{
    const fs::path path(name);
    if (path.is_absolute())
        return true;
    for (const fs::path& part : path) {
        if (part == "..")
            return true;
    }
    return false;
}

bool dataset_ledger::open(const std::string& new_csv_path, std::string new_storage_root)
{
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
        std::lock_guard<std::mutex> lock(mutex_);
        csv_path_ = new_csv_path;
        storage_root_ = new_storage_root;
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
        std::lock_guard<std::mutex> lock(mutex_);
        records_ = std::move(loaded);
        return true;
    }

    std::set<std::string> names;
    for (const auto& entry : subdirectories)
        names.insert(entry.first);
    std::vector<dir_info> kept;
    kept.reserve(loaded.size());
    bool changed = false;
    for (dir_info& row : loaded) {
        if (names.count(row.dir_name) == 0 && folder_is_gone(new_storage_root + "/" + row.dir_name)) {
            LOGW << "Directory " << row.dir_name << " listed in CSV but not found on TF card. Removing from records.";
            changed = true;
            continue;
        }
        kept.push_back(std::move(row));
    }
    changed |= refresh_grown_rows(kept);
    changed |= recover_orphans(kept, new_storage_root);

    std::lock_guard<std::mutex> lock(mutex_);
    records_ = std::move(kept);
    // The file already holds exactly these rows unless something changed.
    return changed ? save_records_locked() : true;
}

bool dataset_ledger::refresh_grown_rows(std::vector<dir_info>& rows) const
{
    const std::string root = storage_root_path();
    bool changed = false;
    for (dir_info& row : rows) {
        if (leaves_storage_root(row.dir_name))
            continue;
        const std::string path = root + "/" + row.dir_name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;
        const auto size = static_cast<int64_t>(get_dir_size(path));
        if (size <= row.size)
            continue;
        LOGI << "Ledger row " << row.dir_name << " grew from " << row.size << " to " << size << " bytes";
        row.size = size;
        row.creat_date = static_cast<int64_t>(st.st_mtime);
        changed = true;
    }
    return changed;
}

bool dataset_ledger::recover_orphans(std::vector<dir_info>& rows, const std::string& root) const
{
    std::vector<std::string> sessions;
    for (const std::string& path : session_folder::findBelow(root, session_folder::kStorageRootDepth))
        if (path != root)  // a storage root that looks like a session is not one of its own rows
            sessions.push_back(fs::path(path).lexically_relative(root).generic_string());
    bool changed = false;
    for (const std::string& name : sessions) {
        if (covered_by_any(name, rows))
            continue;
        const std::string path = root + "/" + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            continue;
        const auto size = static_cast<int64_t>(get_dir_size(path));
        LOGW << "Session folder without a ledger row added as pending: " << name;
        rows.push_back(pending_row(name, kRecordTypeCapture, static_cast<int64_t>(st.st_mtime), size));
        changed = true;
    }
    return changed;
}

int dataset_ledger::add_dir_record(std::string new_dir_name, std::string new_dir_type)
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
    // Walking the folder is file work: done before the lock is taken.
    const auto size = static_cast<int64_t>(get_dir_size(absolute.string()));
    const auto modified = static_cast<int64_t>(st.st_mtime);

    std::lock_guard<std::mutex> lock(mutex_);
    auto row = std::find_if(records_.begin(), records_.end(),
        [&](const dir_info& info) { return info.dir_name == new_dir_name; });
    if (row != records_.end()) {
        LOGD << "Directory already exists in records, updating: " << new_dir_name;
        row->creat_date = modified;
        row->size = size;
    } else {
        LOGD << "Adding new directory record: " << new_dir_name;
        records_.push_back(pending_row(new_dir_name, new_dir_type, modified, size));
        LOGD << "Directory record added successfully, size: " << size << " bytes";
    }
    return save_records_locked() ? 0 : 1;
}

bool dataset_ledger::remove_record(const std::string& dir_name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto row = std::find_if(records_.begin(), records_.end(),
        [&](const dir_info& info) { return info.dir_name == dir_name; });
    if (row == records_.end()) {
        LOGW << "No ledger row to remove: " << dir_name;
        return false;
    }
    records_.erase(row);
    LOGI << "Ledger row removed: " << dir_name;
    save_records_locked();
    return true;
}

bool dataset_ledger::mark_completed(const std::string& dir_name)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto row = std::find_if(records_.begin(), records_.end(),
        [&](const dir_info& info) { return info.dir_name == dir_name; });
    const bool found = row != records_.end();
    if (found) {
        row->status = kStatusCompleted;
        row->succ_up_date = static_cast<int64_t>(std::time(nullptr));
        LOGI << "Upload completed for dataset: " << dir_name;
    } else {
        LOGW << "Upload completed for dataset without a ledger row: " << dir_name;
    }
    save_records_locked();
    return found;
}

bool dataset_ledger::save_records()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return save_records_locked();
}

bool dataset_ledger::save_records_locked()
{
    if (csv_path_.empty()) {
        LOGE << "Failed to write CSV file: no ledger file set, " << records_.size() << " rows kept in memory";
        return false;
    }
    std::string error;
    if (!replace_file_atomically(csv_path_, format_dir_records(records_), error)) {
        // The rows stay in memory; the next change tries the file again.
        LOGE << "Failed to write CSV file: " << csv_path_ << ", error: " << error;
        return false;
    }
    return true;
}

std::vector<dir_info> dataset_ledger::records_snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::string dataset_ledger::csv_file() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return csv_path_;
}

std::string dataset_ledger::storage_root_path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return storage_root_;
}

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
