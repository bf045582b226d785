#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "FrameQueues.h"

namespace {

FrameData record(uint8_t value, std::string id = {})
{
    FrameData r;
    r.data = std::make_unique<uint8_t[]>(4);
    r.data[0] = value;
    r.size = 4;
    r.timestamp = makeTimestampText();
    r.capture_id = std::move(id);
    return r;
}

} // namespace

TEST(BoundedFrameQueue, RefusesThe501stAndKeepsThePayloadWithTheCaller)
{
    BoundedFrameQueue queue;
    for (int i = 0; i < 500; ++i)
        ASSERT_TRUE(queue.push(record(static_cast<uint8_t>(i))));
    FrameData extra = record(77);
    EXPECT_FALSE(queue.push(std::move(extra)));
    ASSERT_TRUE(extra.data) << "a refused record keeps its payload";
    EXPECT_EQ(extra.data[0], 77);
    EXPECT_EQ(queue.size(), 500u);

    auto first = queue.pop();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->data[0], 0) << "first in, first out for one producer";
    EXPECT_TRUE(queue.push(std::move(extra)));
    queue.clear();
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_FALSE(queue.pop());
}

TEST(BoundedFrameQueue, ConcurrentProducersAndConsumersLoseAndDuplicateNothing)
{
    // Several producers break the single-producer rule that keeps the bound
    // exact, but the count must still match what is queued, and every accepted
    // record must come out exactly once.
    BoundedFrameQueue queue;
    constexpr int producers = 3;
    constexpr int perProducer = 4000;
    std::atomic<int> accepted{0};
    std::atomic<int> producing{producers};
    std::vector<std::vector<int>> taken(2);
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i) {
                FrameData r;
                r.data = std::make_unique<uint8_t[]>(sizeof(int));
                const int id = p * perProducer + i;
                std::memcpy(r.data.get(), &id, sizeof id);
                r.size = sizeof id;
                if (queue.push(std::move(r)))
                    ++accepted;
                else
                    std::this_thread::yield();
            }
            --producing;
        });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&, c] {
            while (producing.load() > 0 || queue.size() > 0)
                if (auto r = queue.pop()) {
                    int id = 0;
                    std::memcpy(&id, r->data.get(), sizeof id);
                    taken[c].push_back(id);
                }
        });
    for (auto& t : threads)
        t.join();
    std::vector<int> all = taken[0];
    all.insert(all.end(), taken[1].begin(), taken[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a record came out twice";
    EXPECT_EQ(int(all.size()), accepted.load()) << "an accepted record was lost";
    EXPECT_EQ(queue.size(), 0u);
}

TEST(NV12FrameQueue, OneProducerNeverExceedsTheBoundAndFramesArriveWholeAndInOrder)
{
    NV12FrameQueue queue;
    queue.configure(64, 48);
    const int frameSize = queue.frameSize.load();
    constexpr int frames = 5000;
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::atomic<int> overBound{0};
    std::thread producer([&] {
        for (int i = 0; i < frames; ++i) {
            auto buffer = std::make_unique<uint8_t[]>(frameSize);
            std::memset(buffer.get(), i & 0xFF, frameSize);
            std::memcpy(buffer.get(), &i, sizeof i);
            if (!queue.push(std::move(buffer)))
                ++refused;
            if (queue.count.load() > queue.capacity.load())
                ++overBound;
        }
        done = true;
    });
    int received = 0;
    int last = -1;
    bool intact = true;
    while (!done || queue.count.load() > 0) {
        auto buffer = queue.pop();
        if (!buffer)
            continue;
        int index = 0;
        std::memcpy(&index, buffer.get(), sizeof index);
        EXPECT_GT(index, last) << "frames of one producer come out in order";
        last = index;
        intact = intact && buffer[frameSize - 1] == uint8_t(index & 0xFF);
        ++received;
    }
    producer.join();
    EXPECT_TRUE(intact);
    EXPECT_EQ(overBound.load(), 0);
    EXPECT_EQ(received + refused.load(), frames);
    EXPECT_EQ(queue.count.load(), 0);
}

TEST(NV12FrameQueue, ConfigureDropsFramesOfThePreviousStream)
{
    NV12FrameQueue queue;
    queue.configure(32, 32);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(queue.push(std::make_unique<uint8_t[]>(32 * 32 * 3 / 2)));
    queue.configure(64, 16);
    EXPECT_EQ(queue.count.load(), 0);
    EXPECT_EQ(queue.pop(), nullptr) << "a 32x32 frame would be read as a 64x16 one";
    EXPECT_EQ(queue.frameSize.load(), 64 * 16 * 3 / 2);
    EXPECT_EQ(queue.capacity.load(), 100);
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(queue.push(std::make_unique<uint8_t[]>(8)));
    EXPECT_FALSE(queue.push(std::make_unique<uint8_t[]>(8)));
}
