#include "s3_client.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "SessionFile.h"

namespace {

const char kEmptyPayloadSha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// A clock further than this from the server's makes signed requests fail.
constexpr long kAllowedSkewSeconds = 15 * 60;

std::string to_hex(const unsigned char* data, unsigned length)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned i = 0; i < length; ++i) {
        hex.push_back(digits[data[i] >> 4]);
        hex.push_back(digits[data[i] & 0xf]);
    }
    return hex;
}

std::string base64_of_hex(const std::string& hex)
{
    std::string raw;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        raw.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    std::string out(4 * ((raw.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
        reinterpret_cast<const unsigned char*>(raw.data()), static_cast<int>(raw.size()));
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// MD5 and SHA-256 fed together, so a file is read once for both.
class digests {
public:
    digests() : md5_(EVP_MD_CTX_new()), sha_(EVP_MD_CTX_new())
    {
        if (!md5_ || !sha_ || !EVP_DigestInit_ex(md5_.get(), EVP_md5(), nullptr) ||
            !EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr))
            throw std::runtime_error("digest set-up failed");
    }
    void update(const char* data, std::size_t length)
    {
        EVP_DigestUpdate(md5_.get(), data, length);
        EVP_DigestUpdate(sha_.get(), data, length);
    }
    void finish(std::string& md5_hex, std::string& sha256_hex)
    {
        unsigned char buffer[EVP_MAX_MD_SIZE];
        unsigned length = 0;
        EVP_DigestFinal_ex(md5_.get(), buffer, &length);
        md5_hex = to_hex(buffer, length);
        EVP_DigestFinal_ex(sha_.get(), buffer, &length);
        sha256_hex = to_hex(buffer, length);
    }
    // Starts again, for the next part.
    void restart()
    {
        EVP_DigestInit_ex(md5_.get(), EVP_md5(), nullptr);
        EVP_DigestInit_ex(sha_.get(), EVP_sha256(), nullptr);
    }

private:
    struct ctx_free {
        void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
    };
    std::unique_ptr<EVP_MD_CTX, ctx_free> md5_;
    std::unique_ptr<EVP_MD_CTX, ctx_free> sha_;
};

void hash_bytes(const std::string& bytes, std::string& md5_hex, std::string& sha256_hex)
{
    digests d;
    d.update(bytes.data(), bytes.size());
    d.finish(md5_hex, sha256_hex);
}

std::string errno_text()
{
    return std::strerror(errno);
}

bool is_unreserved(unsigned char c)
{
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string percent_encode(const std::string& text, bool keep_slash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (is_unreserved(c) || (keep_slash && c == '/')) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 0xf]);
        }
    }
    return out;
}

std::string xml_value(const std::string& xml, const std::string& tag)
{
    const std::string open = "<" + tag + ">";
    const auto start = xml.find(open);
    if (start == std::string::npos)
        return {};
    const auto end = xml.find("</" + tag + ">", start);
    if (end == std::string::npos)
        return {};
    return xml.substr(start + open.size(), end - start - open.size());
}

// Text of an XML element with its five entities and character references resolved.
std::string xml_unescape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto semicolon = text[i] == '&' ? text.find(';', i) : std::string::npos;
        if (semicolon == std::string::npos) {
            out.push_back(text[i]);
            continue;
        }
        const std::string entity = text.substr(i + 1, semicolon - i - 1);
        unsigned long code = 0;
        if (entity == "amp") code = '&';
        else if (entity == "lt") code = '<';
        else if (entity == "gt") code = '>';
        else if (entity == "quot") code = '"';
        else if (entity == "apos") code = '\'';
        else if (entity.size() > 1 && entity[0] == '#')
            code = entity[1] == 'x' ? std::strtoul(entity.c_str() + 2, nullptr, 16) : std::strtoul(entity.c_str() + 1, nullptr, 10);
        if (code == 0 || code > 0x10FFFF) {
            out.push_back(text[i]);
            continue;
        }
        // UTF-8 of the code point.
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (code >> 18)));
            out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
        i = semicolon;
    }
    return out;
}

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string amz_date(std::time_t when)
{
    std::tm utc{};
    gmtime_r(&when, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

upload_failure failure_of_curl(CURLcode code)
{
    switch (code) {
    case CURLE_ABORTED_BY_CALLBACK:
        return upload_failure::cancelled;
    case CURLE_READ_ERROR:
        return upload_failure::local_read;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
        return upload_failure::certificate;
    default:
        return upload_failure::unreachable;
    }
}

upload_failure failure_of_status(long status, const std::string& code, long skew)
{
    if (code == "RequestTimeTooSkewed" || (status == 403 && std::labs(skew) > kAllowedSkewSeconds))
        return upload_failure::clock_skew;
    if (code == "NoSuchBucket")
        return upload_failure::no_bucket;
    if (status == 403 || code == "SignatureDoesNotMatch" || code == "InvalidAccessKeyId" || code == "AccessDenied")
        return upload_failure::auth;
    if (status >= 500)
        return upload_failure::unreachable;
    return upload_failure::rejected;
}

// Lets the bodies of all transfers of a client out no faster than the cap
// together: each piece reserves its slot of link time, then waits for it.
class send_pacer {
public:
    explicit send_pacer(double max_mbit) : seconds_per_byte_(max_mbit > 0 ? 8.0 / (max_mbit * 1e6) : 0) {}
    // False when `cancel` was set while waiting.
    bool take(std::size_t bytes, const std::atomic<bool>* cancel)
    {
        if (seconds_per_byte_ <= 0)
            return true;
        using clock = std::chrono::steady_clock;
        clock::time_point start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Time left unused earlier is not saved up beyond a short burst.
            start = std::max(next_free_, clock::now() - std::chrono::milliseconds(20));
            next_free_ = start + std::chrono::duration_cast<clock::duration>(
                std::chrono::duration<double>(static_cast<double>(bytes) * seconds_per_byte_));
        }
        for (auto now = clock::now(); now < start; now = clock::now()) {
            if (cancel && cancel->load())
                return false;
            std::this_thread::sleep_for(std::min<clock::duration>(start - now, std::chrono::milliseconds(100)));
        }
        return true;
    }

private:
    const double seconds_per_byte_;
    std::mutex mutex_;
    std::chrono::steady_clock::time_point next_free_;   // guarded by mutex_
};

// The payload of a PUT, from memory or streamed from a file, paced.
struct body_reader {
    const std::string* body;
    const session_file::File* file;
    uint64_t start;                 // of the payload in the file
    uint64_t length;
    uint64_t offset = 0;            // sent so far
    send_pacer* pacer;
    const std::atomic<bool>* cancel;
    bool read_failed = false;
};

size_t read_body(char* buffer, size_t size, size_t count, void* user)
{
    auto* reader = static_cast<body_reader*>(user);
    const auto n = static_cast<std::size_t>(std::min<uint64_t>(reader->length - reader->offset, size * count));
    if (n == 0)
        return 0;
    if (!reader->pacer->take(n, reader->cancel))
        return CURL_READFUNC_ABORT;
    if (reader->body) {
        std::memcpy(buffer, reader->body->data() + reader->offset, n);
    } else if (!reader->file->readAt(reader->start + reader->offset, n, buffer)) {
        reader->read_failed = true;  // the file shrank or the card failed
        return CURL_READFUNC_ABORT;
    }
    reader->offset += n;
    return n;
}

// A request sent again on a fresh connection (the kept one had been closed) starts over.
int seek_body(void* user, curl_off_t offset, int origin)
{
    auto* reader = static_cast<body_reader*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<uint64_t>(offset) > reader->length)
        return CURL_SEEKFUNC_CANTSEEK;
    reader->offset = static_cast<uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

size_t append_body(char* data, size_t size, size_t count, void* user)
{
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

size_t collect_header(char* data, size_t size, size_t count, void* user)
{
    const std::string line(data, size * count);
    const auto colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
        // Values arrive with the space after the colon: an ETag must be trimmed.
        (*static_cast<std::map<std::string, std::string>*>(user))[name] = trim(line.substr(colon + 1));
    }
    return size * count;
}

int check_cancel(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const auto* cancel = static_cast<const std::atomic<bool>*>(user);
    return cancel && cancel->load() ? 1 : 0;
}

std::string strip_quotes(const std::string& etag)
{
    if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"')
        return etag.substr(1, etag.size() - 2);
    return etag;
}

const std::atomic<bool> kNeverCancelled{false};

// Where a streamed GET's bytes go: the caller's callback for a success,
// the response body for an error document.
struct stream_sink {
    CURL* curl;
    const std::function<bool(const char*, std::size_t)>* on_chunk;
    std::string* error_body;
};

size_t stream_body(char* data, size_t size, size_t count, void* user)
{
    auto* sink = static_cast<stream_sink*>(user);
    long status = 0;
    curl_easy_getinfo(sink->curl, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 300) {
        sink->error_body->append(data, size * count);
        return size * count;
    }
    return (*sink->on_chunk)(data, size * count) ? size * count : 0;
}

} // namespace

std::optional<long> store_clock_offset(const s3_response& response, std::time_t device_now)
{
    const auto date = response.headers.find("date");
    if (date == response.headers.end())
        return std::nullopt;
    const std::time_t server = curl_getdate(date->second.c_str(), nullptr);
    if (server < 0)
        return std::nullopt;
    return static_cast<long>(device_now - server);
}

const char* failure_text(upload_failure failure)
{
    switch (failure) {
    case upload_failure::none: return "";
    case upload_failure::auth: return "认证失败";
    case upload_failure::unreachable: return "无法连接服务器";
    case upload_failure::no_bucket: return "存储桶不存在";
    case upload_failure::local_read: return "本地文件读取失败";
    case upload_failure::clock_skew: return "设备时间不准";
    case upload_failure::cancelled: return "已取消";
    case upload_failure::rejected: return "服务器拒收";
    case upload_failure::certificate: return "服务器证书无法验证";
    }
    return "上传失败";
}

bool failure_ends_dataset(upload_failure failure)
{
    return failure == upload_failure::auth || failure == upload_failure::no_bucket ||
        failure == upload_failure::clock_skew || failure == upload_failure::cancelled ||
        failure == upload_failure::certificate;
}

std::string s3_encode_key(const std::string& key)
{
    return percent_encode(key, true);
}

std::string s3_encode_query_value(const std::string& value)
{
    return percent_encode(value, false);
}

bool s3_parse_list_page(const std::string& xml, std::vector<stored_object>& objects, std::string& next_token)
{
    next_token.clear();
    if (xml.find("<ListBucketResult") == std::string::npos)
        return false;
    for (std::size_t at = xml.find("<Contents>"); at != std::string::npos; at = xml.find("<Contents>", at)) {
        const auto end = xml.find("</Contents>", at);
        if (end == std::string::npos)
            return false;
        const std::string entry = xml.substr(at, end - at);
        stored_object object;
        object.key = xml_unescape(xml_value(entry, "Key"));
        object.size = std::strtoull(xml_value(entry, "Size").c_str(), nullptr, 10);
        object.etag = strip_quotes(xml_unescape(xml_value(entry, "ETag")));
        std::transform(object.etag.begin(), object.etag.end(), object.etag.begin(),
            [](unsigned char c) { return std::tolower(c); });
        objects.push_back(std::move(object));
        at = end;
    }
    if (xml_value(xml, "IsTruncated") == "true") {
        next_token = xml_unescape(xml_value(xml, "NextContinuationToken"));
        if (next_token.empty())
            return false;  // more pages, but no way to ask for them
    }
    return true;
}

struct s3_client::request {
    std::string method;                     // GET, HEAD, PUT, POST or DELETE
    std::string key;
    std::string query;                      // signed as written: sorted, encoded, "name=" for flags
    const std::string* body = nullptr;      // payload of PUT and POST held in memory
    std::string body_sha256;                // of the payload; computed when empty (memory only)
    std::vector<std::string> headers;
    // Or a PUT payload streamed from the card: `length` bytes of `file` at `start`.
    const session_file::File* file = nullptr;
    uint64_t start = 0;
    uint64_t length = 0;
    // When set, a GET's payload goes here instead of into the response body.
    const std::function<bool(const char*, std::size_t)>* on_chunk = nullptr;
};

// What a file holds, found by reading it once before it is sent.
struct s3_client::file_digest {
    std::string md5_hex;
    std::string sha256_hex;
    std::string etag;                       // the store's ETag for these bytes sent as we send them
    struct part {
        std::string md5_hex;
        std::string sha256_hex;
    };
    std::vector<part> parts;                // multipart only
};

// Handles share DNS answers and TLS sessions, never connections: libcurl
// does not support sharing those between threads.
struct s3_client::shared_state {
    explicit shared_state(double max_mbit) : pacer(max_mbit), share(curl_share_init())
    {
        if (!share)
            return;
        curl_share_setopt(share, CURLSHOPT_LOCKFUNC, lock);
        curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, unlock);
        curl_share_setopt(share, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~shared_state()
    {
        if (share)
            curl_share_cleanup(share);
    }
    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user)
    {
        static_cast<shared_state*>(user)->locks[static_cast<std::size_t>(data) % kLocks].lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* user)
    {
        static_cast<shared_state*>(user)->locks[static_cast<std::size_t>(data) % kLocks].unlock();
    }

    static constexpr std::size_t kLocks = CURL_LOCK_DATA_LAST;
    send_pacer pacer;
    std::mutex locks[kLocks];
    CURLSH* share;
};

s3_client::s3_client(s3_settings settings) : settings_(std::move(settings))
{
    curl_global_init(CURL_GLOBAL_DEFAULT);  // thread-safe since libcurl 7.84
    shared_ = std::make_unique<shared_state>(settings_.max_mbit);
}

s3_client::~s3_client()
{
    // Handles go before the share they use.
    for (void* handle : idle_handles_)
        curl_easy_cleanup(static_cast<CURL*>(handle));
}

void* s3_client::take_handle()
{
    {
        std::lock_guard<std::mutex> lock(pool_mutex_);
        if (!idle_handles_.empty()) {
            void* handle = idle_handles_.back();
            idle_handles_.pop_back();
            return handle;
        }
    }
    return curl_easy_init();
}

void s3_client::give_back(void* handle)
{
    std::lock_guard<std::mutex> lock(pool_mutex_);
    idle_handles_.push_back(handle);
}

std::string s3_client::object_url(const std::string& key, const std::string& query) const
{
    std::string base = settings_.endpoint;
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    std::string url;
    if (settings_.path_style) {
        url = base + "/" + settings_.bucket + "/" + s3_encode_key(key);
    } else {
        const auto scheme_end = base.find("://");
        const auto host_start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
        url = base.substr(0, host_start) + settings_.bucket + "." + base.substr(host_start) + "/" + s3_encode_key(key);
    }
    if (!query.empty())
        url += "?" + query;
    return url;
}

s3_response s3_client::perform(const request& req, const std::atomic<bool>* cancel)
{
    s3_response response;
    CURL* curl = static_cast<CURL*>(take_handle());
    if (!curl) {
        response.failure = upload_failure::unreachable;
        response.detail = "curl_easy_init failed";
        return response;
    }
    curl_easy_reset(curl);  // keeps the connection cache

    std::string sha = req.body_sha256;
    if (sha.empty()) {
        std::string md5_unused;
        if (req.body)
            hash_bytes(*req.body, md5_unused, sha);
        else if (!req.file)
            sha = kEmptyPayloadSha256;
    }
    const std::time_t device_now = std::time(nullptr) + settings_.clock_offset.count();
    // libcurl signs but adds neither header itself; it takes the date from ours.
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, ("x-amz-content-sha256: " + sha).c_str());
    headers = curl_slist_append(headers, ("X-Amz-Date: " + amz_date(device_now)).c_str());
    for (const std::string& header : req.headers)
        headers = curl_slist_append(headers, header.c_str());

    const std::string url = object_url(req.key, req.query);
    const std::string sigv4 = "aws:amz:" + settings_.region + ":s3";
    body_reader reader{req.body, req.file, req.start, req.file ? req.length : req.body ? req.body->size() : 0, 0,
        &shared_->pacer, cancel};

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sigv4.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, settings_.access_key_id.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, settings_.secret_access_key.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (shared_->share)
        curl_easy_setopt(curl, CURLOPT_SHARE, shared_->share);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, settings_.connect_timeout_s);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1024L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, settings_.stall_timeout_s);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, check_cancel);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, cancel);
    stream_sink sink{curl, req.on_chunk, &response.body};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, req.on_chunk ? stream_body : append_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, req.on_chunk ? static_cast<void*>(&sink) : &response.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collect_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
    if (!settings_.ca_file.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, settings_.ca_file.c_str());
    if (req.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (req.method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        // libcurl announces every PUT body with "Expect: 100-continue" and would
        // wait a round trip for the answer. The header cannot go (libcurl 7.88
        // signs a removed header as if sent); the body follows it at once.
        curl_easy_setopt(curl, CURLOPT_EXPECT_100_TIMEOUT_MS, 0L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(curl, CURLOPT_READDATA, &reader);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seek_body);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &reader);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(reader.length));
    } else if (req.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, req.body ? req.body->data() : "");
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body ? req.body->size() : 0));
    } else if (req.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, req.method.c_str());
    }

    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    if (code != CURLE_OK) {
        response.failure = reader.read_failed ? upload_failure::local_read : failure_of_curl(code);
        response.detail = std::string(curl_easy_strerror(code)) + " (" + req.method + " " + url + ")";
        curl_easy_cleanup(curl);  // the connection may be half-used
        return response;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
    give_back(curl);

    // A multipart completion can fail inside a 200 response.
    const bool error_body = response.body.find("<Error>") != std::string::npos;
    if (response.status >= 300 || error_body) {
        const std::string error_code = xml_value(response.body, "Code");
        if (!(req.method == "HEAD" && response.status == 404)) {
            response.failure = failure_of_status(response.status, error_code,
                store_clock_offset(response, device_now).value_or(0));
            response.detail = "HTTP " + std::to_string(response.status) + (error_code.empty() ? "" : " " + error_code) +
                " (" + req.method + " " + url + ")";
        }
    }
    return response;
}

s3_response s3_client::head_object(const std::string& key)
{
    return perform({"HEAD", key, "", nullptr, "", {}}, nullptr);
}

s3_response s3_client::get_object(const std::string& key)
{
    return perform({"GET", key, "", nullptr, "", {}}, nullptr);
}

s3_response s3_client::get_object_streamed(const std::string& key,
    const std::function<bool(const char*, std::size_t)>& on_chunk, const std::atomic<bool>& cancel)
{
    request req{"GET", key, "", nullptr, "", {}};
    req.on_chunk = &on_chunk;
    return perform(req, &cancel);
}

s3_response s3_client::delete_object(const std::string& key)
{
    return perform({"DELETE", key, "", nullptr, "", {}}, nullptr);
}

void s3_client::open_connection(const std::atomic<bool>& cancel)
{
    perform({"HEAD", "", "", nullptr, "", {}}, &cancel);
}

list_outcome s3_client::list_objects(const std::string& prefix, const std::atomic<bool>& cancel)
{
    list_outcome outcome;
    std::string token;
    do {
        // Query parameters in sorted order, as they are signed.
        std::string query;
        if (!token.empty())
            query = "continuation-token=" + s3_encode_query_value(token) + "&";
        query += "list-type=2&max-keys=" + std::to_string(settings_.list_page_size) +
            "&prefix=" + s3_encode_query_value(prefix);
        const s3_response page = perform({"GET", "", query, nullptr, "", {}}, &cancel);
        if (page.failure != upload_failure::none) {
            outcome.failure = page.failure;
            outcome.detail = page.detail;
            return outcome;
        }
        if (!s3_parse_list_page(page.body, outcome.objects, token)) {
            outcome.failure = upload_failure::rejected;
            outcome.detail = "the store's listing of " + prefix + " could not be read";
            return outcome;
        }
    } while (!token.empty());
    return outcome;
}

put_outcome s3_client::put_bytes(const std::string& key, const std::string& body, const std::atomic<bool>& cancel)
{
    put_outcome outcome;
    outcome.size = body.size();
    std::string md5_hex;
    hash_bytes(body, md5_hex, outcome.sha256_hex);
    const s3_response put = perform({"PUT", key, "", &body, outcome.sha256_hex,
        {"Content-MD5: " + base64_of_hex(md5_hex), "x-amz-meta-md5: " + md5_hex}}, &cancel);
    outcome.failure = put.failure;
    outcome.detail = put.detail;
    return outcome;
}

put_outcome s3_client::send_file(const dataset_file& source, const std::string& key, const stored_object* listed,
    const std::atomic<bool>& cancel)
{
    put_outcome outcome;
    const std::string local_path = source.path();
    // Opened as every reader of a session opens a file: the listing may be
    // old, and whatever lies at the path now must still be a regular file
    // inside the dataset.
    session_file::Outcome opened;
    const session_file::File file = session_file::File::open(source.folder, source.relative, opened);
    struct stat before {};
    if (!opened.ok() || !file.status(before)) {
        outcome.failure = upload_failure::local_read;
        outcome.detail = "not sent: " + local_path + " " + (opened.ok() ? errno_text() : opened.detail);
        return outcome;
    }
    const auto size = static_cast<uint64_t>(before.st_size);
    outcome.size = size;
    const bool multipart = size > settings_.multipart_threshold;

    // First reading: the digests, and the ETag the store would give these bytes.
    file_digest digest;
    {
        digests whole;
        digests part;
        std::string part_md5s;  // raw, for the multipart ETag
        std::vector<char> buffer(256u << 10);
        const uint64_t part_size = multipart ? settings_.part_size : std::max<uint64_t>(size, 1);
        for (uint64_t part_start = 0; part_start < size; part_start += part_size) {
            const uint64_t part_end = std::min(size, part_start + part_size);
            for (uint64_t offset = part_start; offset < part_end; offset += buffer.size()) {
                const auto length = static_cast<std::size_t>(std::min<uint64_t>(buffer.size(), part_end - offset));
                if (!file.readAt(offset, length, buffer.data())) {
                    outcome.failure = upload_failure::local_read;
                    outcome.detail = "cannot read " + local_path;
                    return outcome;
                }
                if (cancel.load()) {
                    outcome.failure = upload_failure::cancelled;
                    return outcome;
                }
                whole.update(buffer.data(), length);
                if (multipart)
                    part.update(buffer.data(), length);
            }
            if (multipart) {
                file_digest::part done;
                part.finish(done.md5_hex, done.sha256_hex);
                part.restart();
                for (std::size_t i = 0; i + 1 < done.md5_hex.size(); i += 2)
                    part_md5s.push_back(static_cast<char>(std::stoi(done.md5_hex.substr(i, 2), nullptr, 16)));
                digest.parts.push_back(std::move(done));
            }
        }
        whole.finish(digest.md5_hex, digest.sha256_hex);
        if (multipart) {
            std::string sha_unused;
            hash_bytes(part_md5s, digest.etag, sha_unused);
            digest.etag += "-" + std::to_string(digest.parts.size());
        } else {
            digest.etag = digest.md5_hex;
        }
    }
    outcome.sha256_hex = digest.sha256_hex;
    if (listed && listed->size == size && listed->etag == digest.etag) {
        outcome.skipped = true;
        return outcome;
    }

    // Second reading, as the bytes go out. Had the file changed since the
    // first, the store would refuse the digests; the check below catches a
    // change the digests cannot see (bytes written back as they were).
    request whole_file{"PUT", key, "", nullptr, digest.sha256_hex,
        {"Content-MD5: " + base64_of_hex(digest.md5_hex), "x-amz-meta-md5: " + digest.md5_hex}, &file, 0, size};
    if (multipart) {
        put_outcome sent = put_multipart(whole_file, size, key, digest, cancel);
        outcome.failure = sent.failure;
        outcome.detail = sent.detail;
    } else {
        const s3_response put = perform(whole_file, &cancel);
        outcome.failure = put.failure;
        outcome.detail = put.detail;
    }
    struct stat after {};
    if (outcome.ok() && (!file.status(after) || after.st_size != before.st_size ||
            after.st_mtim.tv_sec != before.st_mtim.tv_sec || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)) {
        outcome.failure = upload_failure::rejected;
        outcome.detail = "file changed while it was sent: " + local_path;
    }
    return outcome;
}

put_outcome s3_client::put_multipart(const request& file_part, uint64_t size, const std::string& key,
    const file_digest& digest, const std::atomic<bool>& cancel)
{
    put_outcome outcome;
    outcome.size = size;
    const std::string empty;
    const s3_response started =
        perform({"POST", key, "uploads=", &empty, "", {"x-amz-meta-md5: " + digest.md5_hex}}, &cancel);
    const std::string upload_id = xml_value(started.body, "UploadId");
    if (started.failure != upload_failure::none || upload_id.empty()) {
        outcome.failure = started.failure == upload_failure::none ? upload_failure::rejected : started.failure;
        outcome.detail = started.detail.empty() ? "no upload id for " + key : started.detail;
        return outcome;
    }
    const std::string id_query = "uploadId=" + s3_encode_query_value(upload_id);

    std::string completion = "<CompleteMultipartUpload>";
    for (std::size_t index = 0; index < digest.parts.size() && outcome.ok(); ++index) {
        const int number = static_cast<int>(index) + 1;
        request part = file_part;
        part.start = index * settings_.part_size;
        part.length = std::min<uint64_t>(settings_.part_size, size - part.start);
        part.body_sha256 = digest.parts[index].sha256_hex;
        part.headers = {"Content-MD5: " + base64_of_hex(digest.parts[index].md5_hex)};
        // Query parameters in sorted order, as they are signed.
        part.query = "partNumber=" + std::to_string(number) + "&" + id_query;
        const s3_response sent = perform(part, &cancel);
        const auto etag = sent.headers.find("etag");
        if (sent.failure != upload_failure::none || etag == sent.headers.end()) {
            outcome.failure = sent.failure == upload_failure::none ? upload_failure::rejected : sent.failure;
            outcome.detail = sent.detail;
            break;
        }
        completion += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>" + etag->second +
            "</ETag></Part>";
    }
    if (outcome.ok()) {
        completion += "</CompleteMultipartUpload>";
        const s3_response done =
            perform({"POST", key, id_query, &completion, "", {"Content-Type: application/xml"}}, &cancel);
        outcome.failure = done.failure;
        outcome.detail = done.detail;
    }
    if (!outcome.ok()) {
        // Parts of an abandoned upload would otherwise stay stored (and billed).
        const s3_response aborted = perform({"DELETE", key, id_query, nullptr, "", {}}, &kNeverCancelled);
        if (aborted.failure != upload_failure::none)
            LOGW << "Could not abort multipart upload of " << key << ": " << aborted.detail;
    }
    return outcome;
}
