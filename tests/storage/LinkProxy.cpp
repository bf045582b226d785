#include "LinkProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>

namespace link_test {

namespace {

// The queue in front of the narrow link, as in a modem: a client may be this
// far ahead of the link before it has to wait.
constexpr std::size_t kLinkQueueBytes = 64u << 10;

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

// One way of a connection: bytes read and dated, waiting for their time.
struct link_proxy::pipe {
    int from = -1;
    int to = -1;
    bool up = false;
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<std::pair<link_clock::time_point, std::string>> due;  // guarded by mutex
    bool ended = false;                                              // guarded by mutex
};

struct link_proxy::connection {
    pipe up;
    pipe down;
    std::vector<std::thread> threads;
    std::atomic<int> finished{0};  // threads that are done

    ~connection()
    {
        for (std::thread& thread : threads)
            thread.join();
        ::close(up.from);
        ::close(up.to);
    }
};

link_proxy::link_proxy(uint16_t server_port, std::chrono::microseconds delay, double upstream_mbit)
    : server_port_(server_port), delay_(delay), byte_time_(8.0 / (upstream_mbit * 1e6))
{
}

link_proxy::~link_proxy()
{
    stop();
}

bool link_proxy::start()
{
    if (acceptor_.joinable())
        return true;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = loopback(port_);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(listener_);
        return false;
    }
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    acceptor_ = std::thread(&link_proxy::accept_all, this);
    return true;
}

void link_proxy::stop()
{
    if (!acceptor_.joinable())
        return;
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);  // ends the acceptor's wait
    acceptor_.join();
    ::close(listener_);
    // A cut: every connection ends at once.
    for (connection& c : connections_) {
        const linger abrupt{1, 0};
        ::setsockopt(c.up.from, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
        for (pipe* way : {&c.up, &c.down}) {
            ::shutdown(way->from, SHUT_RDWR);
            std::lock_guard<std::mutex> lock(way->mutex);
            way->ready.notify_all();
        }
    }
    connections_.clear();
}

void link_proxy::accept_all()
{
    for (int client; (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        connections_.remove_if([](const connection& c) { return c.finished == 4; });
        connection& c = connections_.emplace_back();
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        c.up.from = c.down.to = client;
        c.up.to = c.down.from = server;
        c.up.up = true;
        const sockaddr_in address = loopback(server_port_);
        if (::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            c.finished = 4;
            continue;
        }
        const auto opened = link_clock::now();
        for (pipe* way : {&c.up, &c.down}) {
            c.threads.emplace_back([this, way, opened, &c] {
                read_into(*way, opened);
                ++c.finished;
            });
            c.threads.emplace_back([this, way, &c] {
                write_out(*way);
                ++c.finished;
            });
        }
    }
}

void link_proxy::read_into(pipe& way, link_clock::time_point opened)
{
    const auto queue_time = std::chrono::duration_cast<link_clock::duration>(byte_time_ * kLinkQueueBytes);
    if (way.up)
        std::this_thread::sleep_until(opened + 2 * delay_);  // the handshake's round trip
    char buffer[16u << 10];
    for (;;) {
        if (way.up) {
            std::unique_lock<std::mutex> link(link_mutex_);
            const auto room_at = link_free_ - queue_time;
            link.unlock();
            std::this_thread::sleep_until(room_at);
        }
        const ssize_t n = ::recv(way.from, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        auto due = link_clock::now() + delay_;
        if (way.up) {
            std::lock_guard<std::mutex> link(link_mutex_);
            link_free_ = std::max(link_clock::now(), link_free_) +
                std::chrono::duration_cast<link_clock::duration>(byte_time_ * n);
            due = link_free_ + delay_;
        }
        std::lock_guard<std::mutex> lock(way.mutex);
        way.due.emplace_back(due, std::string(buffer, static_cast<std::size_t>(n)));
        way.ready.notify_one();
    }
    std::lock_guard<std::mutex> lock(way.mutex);
    way.ended = true;
    way.ready.notify_one();
}

void link_proxy::write_out(pipe& way)
{
    for (;;) {
        std::unique_lock<std::mutex> lock(way.mutex);
        way.ready.wait(lock, [&] { return stopping_ || way.ended || !way.due.empty(); });
        if (stopping_ || way.due.empty())
            break;
        const auto [due, bytes] = std::move(way.due.front());
        way.due.pop_front();
        lock.unlock();
        std::this_thread::sleep_until(due);
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(way.to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                ::shutdown(way.from, SHUT_RDWR);  // nowhere to go: the reader stops too
                return;
            }
            sent += static_cast<std::size_t>(n);
        }
    }
    // An end of stream goes on once the bytes before it arrived.
    if (!stopping_)
        ::shutdown(way.to, SHUT_WR);
}

} // namespace link_test
