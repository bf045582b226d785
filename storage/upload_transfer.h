#pragma once
// The per-file step of an upload, as a seam. The terminal ships only
// local_file_check, which sends nothing. A real object-store client
// implements upload_transfer and is installed with file_manager::set_transfer;
// the bucket, the keys, the result rule (true = counted as uploaded) and the
// three attempts stay as they are.

#include <cstddef>
#include <string>

class upload_transfer {
public:
    virtual ~upload_transfer() = default;
    // One attempt for one file; called from an upload worker thread, possibly
    // from both workers at once.
    virtual bool put_object(const std::string& local_path, const std::string& bucket, const std::string& key,
        std::size_t expected_size) = 0;
};

// Opens the file and compares its size with the one seen when the session was
// listed; a changed size is only a warning. Counts the file as uploaded.
class local_file_check final : public upload_transfer {
public:
    bool put_object(const std::string& local_path, const std::string& bucket, const std::string& key,
        std::size_t expected_size) override;
};
