#pragma once
// Items made on several threads and used one by one in their order: the
// threads read and decode ahead while the calling thread writes, never more
// than `window` items ahead of it, so memory stays bounded.

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace session_export {

// make(i) runs on `threads` helper threads and must not throw; use(i, item)
// runs on the calling thread in index order. When use returns false nothing
// more is made or used, and the result is false.
template <typename T, typename Make, typename Use>
bool forEachInOrder(size_t count, unsigned threads, size_t window, Make make, Use use)
{
    threads = std::max(1u, threads);
    window = std::max<size_t>(window, threads);
    std::mutex mutex;
    std::condition_variable made, used;
    std::vector<std::optional<T>> ready(window);
    size_t next = 0, usedCount = 0;
    bool stop = false;

    auto helper = [&] {
        for (;;) {
            size_t i;
            {
                std::unique_lock<std::mutex> lock(mutex);
                used.wait(lock, [&] { return stop || next >= count || next < usedCount + window; });
                if (stop || next >= count)
                    return;
                i = next++;
            }
            T item = make(i);
            {
                std::lock_guard<std::mutex> lock(mutex);
                ready[i % window] = std::move(item);
            }
            made.notify_all();
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 0; t < std::min<size_t>(threads, count); ++t)
        helpers.emplace_back(helper);

    bool ok = true;
    for (size_t i = 0; i < count && ok; ++i) {
        T item;
        {
            std::unique_lock<std::mutex> lock(mutex);
            made.wait(lock, [&] { return ready[i % window].has_value(); });
            item = std::move(*ready[i % window]);
            ready[i % window].reset();
            usedCount = i + 1;
        }
        used.notify_all();
        ok = use(i, item);
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    used.notify_all();
    for (auto& thread : helpers)
        thread.join();
    return ok;
}

} // namespace session_export
