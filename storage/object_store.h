#pragma once
// What the uploader needs from an object store, whatever the protocol.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// Why a request to the store failed, in terms an operator can act on.
enum class upload_failure {
    none,
    auth,            // wrong key or secret, or no permission
    unreachable,     // no connection, time-out, server error
    no_bucket,
    local_read,      // the local file could not be read
    clock_skew,      // the device clock is too far from the server's
    cancelled,
    rejected,        // the store refused the bytes (damaged or changed while sent)
    certificate,     // https: the server's certificate could not be verified (ca_file)
};

// The text the upload page shows for a failure.
const char* failure_text(upload_failure failure);

// A failure that every other file of the dataset would meet as well.
bool failure_ends_dataset(upload_failure failure);

struct put_outcome {
    upload_failure failure = upload_failure::none;
    std::string detail;         // for the log; never holds a secret
    bool skipped = false;       // the store already held the same size and MD5
    uint64_t size = 0;          // bytes of the object
    std::string sha256_hex;     // of the object's payload
    bool ok() const { return failure == upload_failure::none; }
};

// One object as a listing shows it.
struct stored_object {
    std::string key;
    uint64_t size = 0;
    std::string etag;   // lower-case, without quotes; the MD5 of a single-request upload
};

struct list_outcome {
    upload_failure failure = upload_failure::none;
    std::string detail;                     // for the log; never holds a secret
    std::vector<stored_object> objects;     // every object under the prefix, all pages, in key order
    bool ok() const { return failure == upload_failure::none; }
};

// A file of a dataset on the card: the dataset's folder and the path below
// it. It is opened from the folder down, so a link leading out of the folder
// is never followed, not even one swapped in after the dataset was listed.
struct dataset_file {
    std::string folder;
    std::string relative;
    std::string path() const { return folder + "/" + relative; }
};

class object_store_client {
public:
    virtual ~object_store_client() = default;
    // Sends one file of a dataset as `key`, unless `listed` (what the store's
    // listing showed under `key`; null: nothing) has the same size and MD5.
    // Called from several upload threads at once; a set `cancel` ends the
    // transfer in flight within a second.
    virtual put_outcome send_file(const dataset_file& file, const std::string& key, const stored_object* listed,
        const std::atomic<bool>& cancel) = 0;
    // Sends a small object held in memory.
    virtual put_outcome put_bytes(const std::string& key, const std::string& body,
        const std::atomic<bool>& cancel) = 0;
    // Opens a connection ahead of the requests that will use it, so that its
    // handshakes overlap another wait. A store without connections does nothing.
    virtual void open_connection(const std::atomic<bool>& cancel) { (void)cancel; }
    // Lists every object whose key starts with `prefix`, following the pages.
    virtual list_outcome list_objects(const std::string& prefix, const std::atomic<bool>& cancel) = 0;
};
