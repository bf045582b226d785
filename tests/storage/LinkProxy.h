#pragma once
// A TCP proxy on loopback that plays a far, narrow link to the tests' gateway:
// every byte takes `delay` each way, the way up is one link shared by every
// connection at `upstream_mbit` behind a short queue, and a new connection
// waits out its handshake's round trip. stop() cuts every connection; start()
// opens the same port again.
//
// Threads: one accepts; each way of each connection has a reader that dates
// the bytes and a writer that lets them out when due.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace link_test {

using link_clock = std::chrono::steady_clock;

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

private:
    struct pipe;
    struct connection;
    void accept_all();
    void read_into(pipe& way, link_clock::time_point opened);
    void write_out(pipe& way);

    const uint16_t server_port_;
    const std::chrono::microseconds delay_;
    const std::chrono::duration<double> byte_time_;  // on the way up
    uint16_t port_ = 0;
    int listener_ = -1;
    std::thread acceptor_;
    std::list<connection> connections_;         // the acceptor's while it runs
    std::atomic<bool> stopping_{false};
    std::mutex link_mutex_;
    link_clock::time_point link_free_;          // when the way up has sent what it was given; guarded by link_mutex_
};

} // namespace link_test
