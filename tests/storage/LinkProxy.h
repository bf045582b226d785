#pragma once
// A TCP proxy on loopback that plays a far, narrow link between the uploader
// and the tests' gateway: every byte takes `delay` each way, the way up
// (client to server) is one link shared by every connection at
// `upstream_mbit`, with a short queue in front of it, and a new connection
// waits out its handshake's round trip before its first byte goes up.
//
// Plain HTTP requests going through are recorded (method, target, headers,
// the MD5 of the body as it went by), so a test sees what a client sent.
// stop() cuts every connection and closes the port; start() opens the same
// port again: a link that drops and comes back.
//
// Threads: one thread moves the bytes; the other calls come from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace link_test {

using link_clock = std::chrono::steady_clock;

struct recorded_request {
    std::string method;
    std::string target;                          // path and query, as sent
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body_md5_base64;                 // of the bytes that went by
    uint64_t body_bytes = 0;
    link_clock::time_point body_started;
    link_clock::time_point body_done;
};

class link_proxy {
public:
    link_proxy(uint16_t server_port, std::chrono::microseconds delay, double upstream_mbit);
    ~link_proxy();
    link_proxy(const link_proxy&) = delete;
    link_proxy& operator=(const link_proxy&) = delete;

    // Listens (on the same port as before after a stop); false when it cannot.
    bool start();
    void stop();
    uint16_t port() const { return port_; }

    std::vector<recorded_request> requests() const;
    void clear_requests();

private:
    struct connection;
    void run(int listener);
    void record(recorded_request request);

    const uint16_t server_port_;
    const std::chrono::microseconds delay_;
    const double upstream_mbit_;
    uint16_t port_ = 0;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    std::vector<recorded_request> requests_;    // guarded by mutex_
};

} // namespace link_test
