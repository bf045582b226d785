#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureQueues.h"
#include "FrameQueues.h"

namespace {

FrameSet setOf(uint8_t value)
{
    FrameSet set;
    set.colour.data = std::make_unique<uint8_t[]>(4);
    set.colour.data[0] = value;
    set.colour.size = 4;
    set.timestamp = makeTimestampText(&set.hostUtcUs);
    return set;
}

} // namespace

TEST(CaptureQueues, RefuseTheSetBeyondTheBoundKeepItWithTheCallerAndClearOnlyImages)
{
    CaptureQueues queues;
    for (uint32_t i = 0; i < CaptureQueues::frameSetCapacity; ++i)
        ASSERT_TRUE(queues.pushDepthSet(setOf(static_cast<uint8_t>(i))));
    FrameSet extra = setOf(77);
    EXPECT_FALSE(queues.pushDepthSet(std::move(extra)));
    ASSERT_TRUE(extra.colour.data) << "a refused set keeps its payload";
    EXPECT_EQ(extra.colour.data[0], 77);
    EXPECT_EQ(queues.depthSets().size(), CaptureQueues::frameSetCapacity);

    auto first = queues.depthSets().pop();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->colour.data[0], 0) << "first in, first out for one producer";
    EXPECT_TRUE(queues.pushDepthSet(std::move(extra)));

    ASSERT_TRUE(queues.pushUsbFrame(setOf(1)));
    ASSERT_TRUE(queues.pushImu(ImuSample{}));
    EXPECT_EQ(queues.clearImages(), CaptureQueues::frameSetCapacity + 1);
    EXPECT_FALSE(queues.imagesWaiting());
    EXPECT_EQ(queues.imu().size(), 1u) << "a declined snapshot leaves the motion data";
    // The frame set pushed above already woke the consumer: a wait that starts later returns at once.
    queues.waitForWork(std::chrono::steady_clock::now() + std::chrono::hours(1));
}

TEST(CaptureQueues, ConcurrentProducersAndConsumersLoseAndDuplicateNothing)
{
    // Several producers break the single-producer rule that keeps the bound
    // exact, but the count must still match what is queued, and every accepted
    // set must come out exactly once.
    BoundedQueue<FrameSet> queue(CaptureQueues::frameSetCapacity);
    constexpr int producers = 3;
    constexpr int perProducer = 4000;
    std::atomic<int> accepted{0};
    std::atomic<int> producing{producers};
    std::vector<std::vector<uint64_t>> taken(2);
    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < perProducer; ++i) {
                FrameSet set;
                set.colour.frameIndex = static_cast<uint64_t>(p * perProducer + i);
                if (queue.push(std::move(set)))
                    ++accepted;
                else
                    std::this_thread::yield();
            }
            --producing;
        });
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&, c] {
            while (producing.load() > 0 || queue.size() > 0)
                if (auto set = queue.pop())
                    taken[c].push_back(set->colour.frameIndex);
        });
    for (auto& t : threads)
        t.join();
    std::vector<uint64_t> all = taken[0];
    all.insert(all.end(), taken[1].begin(), taken[1].end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "a set came out twice";
    EXPECT_EQ(int(all.size()), accepted.load()) << "an accepted set was lost";
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

namespace {

FrameSet setOfBytes(uint64_t colour, uint64_t depth)
{
    FrameSet set;
    set.colour.data = std::make_unique<uint8_t[]>(colour);
    set.colour.size = colour;
    if (depth > 0) {
        set.depth.data = std::make_unique<uint8_t[]>(depth);
        set.depth.size = depth;
    }
    return set;
}

} // namespace

TEST(CaptureQueues, BothCamerasShareOneBoundInBytesGivenBackOnPopAndClear)
{
    CaptureQueues queues(10000);
    // A set larger than the whole bound still goes into empty queues.
    ASSERT_TRUE(queues.pushDepthSet(setOfBytes(4000, 20000)));
    EXPECT_FALSE(queues.pushUsbFrame(setOfBytes(1, 0)));
    ASSERT_TRUE(queues.depthSets().pop());
    EXPECT_EQ(queues.backlogBytes(), 0u);

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(queues.pushDepthSet(setOfBytes(1000, 2000)));
    ASSERT_TRUE(queues.pushUsbFrame(setOfBytes(1000, 0)));
    EXPECT_EQ(queues.backlogBytes(), 10000u);
    EXPECT_EQ(queues.backlogSets(), 4u);
    FrameSet refused = setOfBytes(1000, 2000);
    EXPECT_FALSE(queues.pushDepthSet(std::move(refused)));
    EXPECT_TRUE(refused.depth.data) << "a refused set stays whole with the caller";
    EXPECT_FALSE(queues.pushUsbFrame(setOfBytes(1, 0)));

    ASSERT_TRUE(queues.usbFrames().pop());
    EXPECT_EQ(queues.backlogBytes(), 9000u);
    EXPECT_TRUE(queues.pushUsbFrame(setOfBytes(1000, 0)));
    EXPECT_EQ(queues.clearImages(), 4u);
    EXPECT_EQ(queues.backlogBytes(), 0u);
    EXPECT_TRUE(queues.pushDepthSet(std::move(refused)));
}

TEST(CaptureQueues, TwoCamerasAndTheWorkerNeverOverrunTheByteBound)
{
    constexpr uint64_t bound = 64 * 1024;
    constexpr uint64_t setBytes = 3 * 1024;
    CaptureQueues queues(bound);
    std::atomic<int> producing{2};
    std::atomic<uint64_t> accepted{0};
    std::vector<std::thread> cameras;
    for (int camera = 0; camera < 2; ++camera)
        cameras.emplace_back([&, camera] {
            for (int i = 0; i < 3000; ++i) {
                const bool ok = camera == 0 ? queues.pushDepthSet(setOfBytes(1024, 2048))
                                            : queues.pushUsbFrame(setOfBytes(setBytes, 0));
                accepted += ok;
            }
            --producing;
        });
    uint64_t popped = 0;
    uint64_t worst = 0;
    while (producing.load() > 0 || queues.imagesWaiting()) {
        worst = std::max(worst, queues.backlogBytes());
        for (auto* queue : {&queues.depthSets(), &queues.usbFrames()})
            popped += queue->pop().has_value();
    }
    for (auto& t : cameras)
        t.join();
    EXPECT_EQ(popped, accepted.load());
    EXPECT_LE(worst, bound + 2 * setBytes) << "a refused take shows for a moment, never stays";
    EXPECT_EQ(queues.backlogBytes(), 0u);
}
