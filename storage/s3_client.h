#pragma once
// An S3 client over libcurl, signed with libcurl's own SigV4 support.
//
// Every request carries its payload's SHA-256 (x-amz-content-sha256) and
// every upload its Content-MD5, so the store refuses damaged bytes. Files
// above multipart_threshold go up in parts. A file is read twice: once to
// hash it, once streamed from the card as it is sent, so a transfer holds a
// buffer, never the file; a file that changed in between does not match its
// digests and the store refuses it. No body waits for "100 Continue": a
// refusal comes as fast from the signature check.
//
// Threads: send_file and put_bytes may run on several threads at
// once. Each request takes an easy handle from a pool; a handle keeps its
// connection open for the next request, across files and datasets, and all
// handles share DNS answers and TLS sessions (a new connection resumes the
// session instead of a full handshake). max_mbit paces the bodies of every
// transfer of the client together.

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
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
    double max_mbit = 0;                // all transfers together; 0: no cap
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

    put_outcome send_file(const dataset_file& file, const std::string& key, const stored_object* listed,
        const std::atomic<bool>& cancel) override;
    put_outcome put_bytes(const std::string& key, const std::string& body,
        const std::atomic<bool>& cancel) override;
    // Asks the bucket's head (HeadBucket) on a handle of the pool.
    void open_connection(const std::atomic<bool>& cancel) override;
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
    struct file_digest;
    struct shared_state;
    s3_response perform(const request& req, const std::atomic<bool>* cancel);
    put_outcome put_multipart(const request& file_part, uint64_t size, const std::string& key,
        const file_digest& digest, const std::atomic<bool>& cancel);
    std::string object_url(const std::string& key, const std::string& query) const;
    void* take_handle();
    void give_back(void* handle);

    const s3_settings settings_;
    std::unique_ptr<shared_state> shared_;  // DNS and TLS session cache, the pace of the bodies
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
