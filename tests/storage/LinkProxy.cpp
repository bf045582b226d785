#include "LinkProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <memory>

namespace link_test {

namespace {

constexpr std::size_t kReadSize = 16u << 10;
// The queue in front of the narrow link, as in a modem: a client may be this
// far ahead of the link before it has to wait.
constexpr std::size_t kLinkQueueBytes = 64u << 10;
// Bytes on their way (in the delay) per direction and connection.
constexpr std::size_t kInFlightBytes = 4u << 20;

struct chunk {
    link_clock::time_point due;
    std::string bytes;
    std::size_t written = 0;
};

std::string base64(const unsigned char* data, unsigned length)
{
    std::string out(4 * ((length + 2) / 3) + 1, '\0');
    out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data,
        static_cast<int>(length))));
    return out;
}

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

} // namespace

struct link_proxy::connection {
    int client = -1;
    int server = -1;
    bool connected = false;          // the connect to the server completed
    link_clock::time_point opened;
    std::deque<chunk> up;
    std::deque<chunk> down;
    std::size_t up_bytes = 0;
    std::size_t down_bytes = 0;
    bool client_eof = false;
    bool server_eof = false;
    bool up_shut = false;
    bool down_shut = false;
    bool failed = false;

    // The HTTP request going up, while it is parsed.
    bool tls = false;
    std::string head;
    uint64_t body_left = 0;
    recorded_request current;
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> md5{EVP_MD_CTX_new(), EVP_MD_CTX_free};

    ~connection()
    {
        close_fd(client);
        close_fd(server);
    }
    bool done() const
    {
        return failed || (up_shut && down_shut);
    }
};

link_proxy::link_proxy(uint16_t server_port, std::chrono::microseconds delay, double upstream_mbit)
    : server_port_(server_port), delay_(delay), upstream_mbit_(upstream_mbit)
{
}

link_proxy::~link_proxy()
{
    stop();
}

bool link_proxy::start()
{
    if (thread_.joinable())
        return true;
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return false;
    const int on = 1;
    ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port_);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 128) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(listener);
        return false;
    }
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    thread_ = std::thread(&link_proxy::run, this, listener);
    return true;
}

void link_proxy::stop()
{
    if (!thread_.joinable())
        return;
    stopping_ = true;
    const char byte = 0;
    (void)!::write(wake_[1], &byte, 1);
    thread_.join();
    close_fd(wake_[0]);
    close_fd(wake_[1]);
}

std::vector<recorded_request> link_proxy::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void link_proxy::clear_requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

void link_proxy::record(recorded_request request)
{
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(request));
}

void link_proxy::run(int listener)
{
    std::list<connection> connections;
    link_clock::time_point link_free = link_clock::now();   // when the link has sent what it was given
    const auto handshake = 2 * delay_;
    const double seconds_per_byte = 8.0 / (upstream_mbit_ * 1e6);
    const auto queue_time = std::chrono::duration_cast<link_clock::duration>(
        std::chrono::duration<double>(static_cast<double>(kLinkQueueBytes) * seconds_per_byte));
    std::size_t turn = 0;

    // Parses the request bytes going up; a TLS stream is passed without a look.
    auto parse = [this](connection& c, const char* data, std::size_t n) {
        const auto now = link_clock::now();
        for (std::size_t i = 0; i < n && !c.tls;) {
            if (c.body_left > 0) {
                const auto take = static_cast<std::size_t>(std::min<uint64_t>(c.body_left, n - i));
                EVP_DigestUpdate(c.md5.get(), data + i, take);
                c.body_left -= take;
                i += take;
            } else {
                if (c.head.empty() && static_cast<unsigned char>(data[i]) == 0x16) {
                    c.tls = true;
                    break;
                }
                c.head.push_back(data[i++]);
                if (c.head.size() < 4 || c.head.compare(c.head.size() - 4, 4, "\r\n\r\n") != 0)
                    continue;
                c.current = {};
                const auto line_end = c.head.find("\r\n");
                const std::string line = c.head.substr(0, line_end);
                c.current.method = line.substr(0, line.find(' '));
                c.current.target = line.substr(line.find(' ') + 1, line.rfind(' ') - line.find(' ') - 1);
                for (auto at = line_end + 2; at < c.head.size();) {
                    const auto end = c.head.find("\r\n", at);
                    const std::string header = c.head.substr(at, end - at);
                    at = end + 2;
                    const auto colon = header.find(':');
                    if (colon == std::string::npos)
                        continue;
                    std::string name = header.substr(0, colon);
                    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
                    const auto value = header.find_first_not_of(' ', colon + 1);
                    c.current.headers[name] = value == std::string::npos ? "" : header.substr(value);
                }
                c.head.clear();
                const auto length = c.current.headers.find("content-length");
                c.body_left = length == c.current.headers.end() ? 0 : std::stoull(length->second);
                c.current.body_bytes = c.body_left;
                c.current.body_started = now;
                EVP_DigestInit_ex(c.md5.get(), EVP_md5(), nullptr);
            }
            if (c.body_left == 0 && c.head.empty()) {
                unsigned char digest[EVP_MAX_MD_SIZE];
                unsigned length = 0;
                EVP_DigestFinal_ex(c.md5.get(), digest, &length);
                c.current.body_md5_base64 = base64(digest, length);
                c.current.body_done = now;
                record(std::move(c.current));
                c.current = {};
                EVP_DigestInit_ex(c.md5.get(), EVP_md5(), nullptr);
            }
        }
    };

    // What `fd` has to read; empty when nothing is there or at its end (`eof` set).
    auto receive = [](int fd, connection& c, bool& eof) {
        char buffer[kReadSize];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n == 0)
            eof = true;
        else if (n < 0 && errno != EAGAIN)
            c.failed = true;
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    };

    // Writes what is due of `queue` to `fd`; false on an error.
    auto flush = [](int fd, std::deque<chunk>& queue, std::size_t& queued) {
        const auto now = link_clock::now();
        while (!queue.empty() && queue.front().due <= now) {
            chunk& front = queue.front();
            const ssize_t n = ::send(fd, front.bytes.data() + front.written, front.bytes.size() - front.written,
                MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK;
            front.written += static_cast<std::size_t>(n);
            queued -= static_cast<std::size_t>(n);
            if (front.written < front.bytes.size())
                return true;
            queue.pop_front();
        }
        return true;
    };

    std::vector<pollfd> fds;
    std::vector<connection*> owners;
    while (!stopping_) {
        const auto now = link_clock::now();
        const bool link_has_room = link_free <= now + queue_time;
        fds.assign({{wake_[0], POLLIN, 0}, {listener, POLLIN, 0}});
        owners.assign(2, nullptr);
        auto next_wake = link_clock::time_point::max();
        for (connection& c : connections) {
            const bool handshaken = now >= c.opened + handshake;
            short client_events = 0;
            short server_events = 0;
            if (!c.client_eof && handshaken && link_has_room && c.up_bytes < kInFlightBytes)
                client_events |= POLLIN;
            if (!c.connected)
                server_events |= POLLOUT;
            if (c.connected && !c.server_eof && c.down_bytes < kInFlightBytes)
                server_events |= POLLIN;
            for (auto [queue, fd_events] : {std::pair{&c.up, &server_events}, std::pair{&c.down, &client_events}}) {
                if (queue->empty())
                    continue;
                if (queue->front().due <= now)
                    *fd_events |= POLLOUT;
                else
                    next_wake = std::min(next_wake, queue->front().due);
            }
            if (!handshaken)
                next_wake = std::min(next_wake, c.opened + handshake);
            if (!link_has_room)
                next_wake = std::min(next_wake, now + std::chrono::milliseconds(1));
            fds.push_back({c.client, client_events, 0});
            owners.push_back(&c);
            fds.push_back({c.server, server_events, 0});
            owners.push_back(&c);
        }
        timespec timeout{};
        timespec* wait = nullptr;
        if (next_wake != link_clock::time_point::max()) {
            const auto ns = std::max<int64_t>(0,
                std::chrono::duration_cast<std::chrono::nanoseconds>(next_wake - link_clock::now()).count());
            timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            wait = &timeout;
        }
        if (::ppoll(fds.data(), fds.size(), wait, nullptr) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN) {
            for (int client; (client = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0;) {
                connection& c = connections.emplace_back();
                c.client = client;
                c.opened = link_clock::now();
                c.server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                address.sin_port = htons(server_port_);
                if (c.server < 0 || (::connect(c.server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                                        errno != EINPROGRESS))
                    c.failed = true;
            }
        }
        // Connections take turns at the link: the first to read may fill its queue.
        const std::size_t count = (fds.size() - 2) / 2;
        ++turn;
        for (std::size_t k = 0; k < count; ++k) {
            const std::size_t at = 2 + 2 * ((k + turn) % count);
            connection& c = *owners[at];
            const short client_events = fds[at].revents;
            const short server_events = fds[at + 1].revents;
            if (!c.connected && (server_events & (POLLOUT | POLLERR | POLLHUP))) {
                int error = 0;
                socklen_t length = sizeof error;
                ::getsockopt(c.server, SOL_SOCKET, SO_ERROR, &error, &length);
                c.connected = error == 0;
                c.failed = c.failed || error != 0;
            }
            const auto read_time = link_clock::now();
            if (client_events & POLLERR)
                c.failed = true;
            if ((client_events & (POLLIN | POLLHUP)) && (fds[at].events & POLLIN) && link_free <= read_time + queue_time) {
                std::string bytes = receive(c.client, c, c.client_eof);
                if (!bytes.empty()) {
                    parse(c, bytes.data(), bytes.size());
                    link_free = std::max(read_time, link_free) + std::chrono::duration_cast<link_clock::duration>(
                        std::chrono::duration<double>(static_cast<double>(bytes.size()) * seconds_per_byte));
                    c.up_bytes += bytes.size();
                    c.up.push_back({link_free + delay_, std::move(bytes)});
                }
            }
            if (c.connected && (server_events & (POLLIN | POLLHUP | POLLERR)) && (fds[at + 1].events & POLLIN)) {
                std::string bytes = receive(c.server, c, c.server_eof);
                c.down_bytes += bytes.size();
                if (!bytes.empty())
                    c.down.push_back({read_time + delay_, std::move(bytes)});
            }
            if (c.connected && !flush(c.server, c.up, c.up_bytes))
                c.failed = true;
            if (!flush(c.client, c.down, c.down_bytes))
                c.failed = true;
            // An end of stream goes on once the bytes before it arrived.
            if (c.connected && c.client_eof && c.up.empty() && !c.up_shut) {
                ::shutdown(c.server, SHUT_WR);
                c.up_shut = true;
            }
            if (c.server_eof && c.down.empty() && !c.down_shut) {
                ::shutdown(c.client, SHUT_WR);
                c.down_shut = true;
            }
        }
        connections.remove_if([](const connection& c) { return c.done(); });
    }
    // A cut: every connection ends at once.
    for (connection& c : connections) {
        const linger abrupt{1, 0};
        ::setsockopt(c.client, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    }
    connections.clear();
    ::close(listener);
}

} // namespace link_test
