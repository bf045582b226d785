#include "CardThrottle.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<double> g_rate{[] {
    const char* mb = std::getenv("KAVREL_SLOW_CARD_MB_S");
    return mb && std::atof(mb) > 0 ? std::atof(mb) * 1e6 : 0.0;
}()};
std::atomic<uint64_t> g_bytes{0};
std::mutex g_mutex;
Clock::time_point g_cardIdleAt;  // when the card has written everything handed to it

template <typename Function>
Function real(const char* name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool isRegularFile(int fd)
{
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The bytes were handed to the card: the caller waits until it has written them.
void occupyCard(int fd, ssize_t written)
{
    if (written <= 0 || !isRegularFile(fd))
        return;
    g_bytes.fetch_add(static_cast<uint64_t>(written));
    const double rate = g_rate.load();
    if (rate <= 0)
        return;
    const auto cost = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(written / rate));
    Clock::time_point done;
    {
        std::lock_guard lock(g_mutex);
        g_cardIdleAt = std::max(g_cardIdleAt, Clock::now()) + cost;
        done = g_cardIdleAt;
    }
    std::this_thread::sleep_until(done);
}

void waitForCard()
{
    if (g_rate.load() <= 0)
        return;
    Clock::time_point idle;
    {
        std::lock_guard lock(g_mutex);
        idle = g_cardIdleAt;
    }
    std::this_thread::sleep_until(idle);
}

} // namespace

extern "C" {

void kavrel_card_throttle_set_rate(double bytesPerSecond) { g_rate = std::max(0.0, bytesPerSecond); }
double kavrel_card_throttle_rate() { return g_rate.load(); }
uint64_t kavrel_card_throttle_bytes() { return g_bytes.load(); }

ssize_t write(int fd, const void* data, size_t size)
{
    static const auto next = real<ssize_t (*)(int, const void*, size_t)>("write");
    const ssize_t written = next(fd, data, size);
    occupyCard(fd, written);
    return written;
}

int fsync(int fd)
{
    static const auto next = real<int (*)(int)>("fsync");
    waitForCard();
    return next(fd);
}

int fdatasync(int fd)
{
    static const auto next = real<int (*)(int)>("fdatasync");
    waitForCard();
    return next(fd);
}

int syncfs(int fd)
{
    static const auto next = real<int (*)(int)>("syncfs");
    waitForCard();
    return next(fd);
}

} // extern "C"
