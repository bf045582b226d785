#pragma once
// An S3 client over libcurl, signed with libcurl's own SigV4 support.
//
// Every request carries its payload's SHA-256 (x-amz-content-sha256) and
// every upload its Content-MD5, so the store refuses damaged bytes. Files
// above multipart_threshold go up in parts. A file is read into memory and
// hashed before it is sent, so the bytes sent are the bytes hashed even when
// the file changes meanwhile (at most one part or one small file per thread).
//
// Threads: put_file and put_bytes may run on several threads at once; each
// request takes an easy handle from a small pool (connections are reused).

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <optional>
#include <mutex>
#include <string>
#include <vector>

#include "object_store.h"

struct s3_settings {
    std::string endpoint;               // http:// or https://host[:port]
    std::string region = "us-east-1";
    std::string bucket = "default-bucket";
    bool path_style = true;             // endpoint/bucket/key instead of bucket.host/key
    std::string ca_file;                // optional CA bundle for https
    std::string access_key_id;
    std::string secret_access_key;
    uint64_t multipart_threshold = 16ull << 20;
    uint64_t part_size = 8ull << 20;    // the store refuses parts under 5 MiB but the last
    int list_page_size = 1000;          // keys a listing page asks for (the store's most)
    long connect_timeout_s = 10;
    // A transfer slower than 1 KiB/s for this long is given up.
    long stall_timeout_s = 30;
    // Added to the device clock when requests are dated; lets a test play a
    // terminal whose clock is off.
    std::chrono::seconds clock_offset{0};
};

// One HTTP exchange with the store, as far as the caller needs it.
struct s3_response {
    long status = 0;                    // 0 when no response arrived
    upload_failure failure = upload_failure::none;
    std::string detail;
    std::string body;
    std::map<std::string, std::string> headers;   // names in lower case
};

class s3_client final : public object_store_client {
public:
    explicit s3_client(s3_settings settings);
    ~s3_client() override;
    s3_client(const s3_client&) = delete;
    s3_client& operator=(const s3_client&) = delete;

    put_outcome put_file(const std::string& local_path, const std::string& key,
        const std::atomic<bool>& cancel) override;
    put_outcome put_bytes(const std::string& key, const std::string& body,
        const std::atomic<bool>& cancel) override;
    // ListObjectsV2, page after page (the store returns at most 1000 keys a page).
    list_outcome list_objects(const std::string& prefix, const std::atomic<bool>& cancel) override;

    // Reads an object whole; for checks and tests.
    s3_response get_object(const std::string& key);
    s3_response head_object(const std::string& key);
    // Reads an object chunk by chunk as it arrives, so memory stays bounded
    // whatever its size; `on_chunk` returning false ends the transfer (the
    // response then fails). The response's body holds only an error document.
    s3_response get_object_streamed(const std::string& key,
        const std::function<bool(const char* data, std::size_t length)>& on_chunk, const std::atomic<bool>& cancel);
    s3_response delete_object(const std::string& key);

    const s3_settings& settings() const { return settings_; }

private:
    struct request;
    s3_response perform(const request& req, const std::atomic<bool>* cancel);
    put_outcome put_small(const std::string& key, const std::string& body, const std::string& md5_hex,
        const std::atomic<bool>& cancel);
    put_outcome put_multipart(const std::string& local_path, uint64_t size, const std::string& key,
        const std::string& md5_hex, const std::atomic<bool>& cancel);
    // The object already holds these bytes: same size and same MD5.
    bool already_stored(const std::string& key, uint64_t size, const std::string& md5_hex, put_outcome& outcome,
        const std::atomic<bool>& cancel);
    std::string object_url(const std::string& key, const std::string& query) const;
    void* take_handle();
    void give_back(void* handle);

    const s3_settings settings_;
    std::mutex pool_mutex_;
    std::vector<void*> idle_handles_;   // guarded by pool_mutex_
};

// Seconds the device clock (now, as the client dates its requests) is ahead of
// the store's, from a response's Date header; empty when it has none.
std::optional<long> store_clock_offset(const s3_response& response, std::time_t device_now);

// Percent-encodes a key the way S3 signs paths: unreserved characters and
// '/' stay, every other byte becomes %XX.
std::string s3_encode_key(const std::string& key);
// Percent-encodes a query value: only unreserved characters stay.
std::string s3_encode_query_value(const std::string& value);
// The objects of one ListObjectsV2 page, and the token of the next page
// (empty on the last one). False when the body is no listing.
bool s3_parse_list_page(const std::string& xml, std::vector<stored_object>& objects, std::string& next_token);
