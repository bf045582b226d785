#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CaptureQueues.h"
#include "FrameQueues.h"

namespace {

// A frame set of the given payload sizes (no depth half when 0).
FrameSet setOf(uint64_t colour, uint64_t depth)
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

TEST(CaptureQueues, ConcurrentProducersAndTheWorkerLoseAndDuplicateNothing)
{
    // Several producers make the bound inexact, but every accepted set comes out exactly once.
    BoundedQueue<FrameSet> queue(CaptureQueues::frameSetCapacity);
    constexpr int producers = 3;
    constexpr int perProducer = 4000;
    std::atomic<int> accepted{0};
    std::atomic<int> producing{producers};
    std::vector<uint64_t> taken;
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
    while (producing.load() > 0 || queue.size() > 0)
        if (auto set = queue.pop())
            taken.push_back(set->colour.frameIndex);
    for (auto& t : threads)
        t.join();
    std::sort(taken.begin(), taken.end());
    EXPECT_EQ(std::adjacent_find(taken.begin(), taken.end()), taken.end()) << "a set came out twice";
    EXPECT_EQ(int(taken.size()), accepted.load()) << "an accepted set was lost";
    EXPECT_EQ(queue.size(), 0u);
}

// Posting and taking at once while the size changes: each frame taken is whole and newer than the last.
TEST(PreviewMailbox, FramesCarryTheirSizeAndOnlyTheNewestWaits)
{
    PreviewMailbox mailbox;
    constexpr int frames = 5000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 0; i < frames; ++i) {
            // Every 1000 frames the stream restarts at another size.
            const int32_t width = 32 + 16 * (i / 1000), height = 24;
            const size_t size = static_cast<size_t>(width) * height * 3 / 2;
            PreviewFrame frame{std::make_unique<uint8_t[]>(size), width, height};
            std::memset(frame.nv12.get(), i & 0xFF, size);
            std::memcpy(frame.nv12.get(), &i, sizeof i);
            mailbox.post(std::move(frame));
        }
        done = true;
    });
    int taken = 0;
    int last = -1;
    bool whole = true;
    for (;;) {
        const bool finished = done.load();
        PreviewFrame frame = mailbox.take();
        if (!frame) {
            if (finished)
                break;
            continue;
        }
        int index = 0;
        std::memcpy(&index, frame.nv12.get(), sizeof index);
        EXPECT_GT(index, last) << "a frame came out twice or out of order";
        last = index;
        const size_t size = static_cast<size_t>(frame.width) * frame.height * 3 / 2;
        whole = whole && frame.width == 32 + 16 * (index / 1000) && frame.nv12[size - 1] == uint8_t(index & 0xFF);
        ++taken;
    }
    producer.join();
    EXPECT_TRUE(whole) << "a frame read at another frame's size";
    EXPECT_EQ(last, frames - 1) << "the newest frame is never lost";
    EXPECT_EQ(taken + static_cast<int>(mailbox.replaced()), frames);
    EXPECT_FALSE(mailbox.take()) << "a frame is taken once";
}

TEST(CaptureQueues, BothCamerasShareOneBoundInBytesGivenBackOnPopAndClear)
{
    CaptureQueues queues(10000);
    // A set larger than the whole bound still goes into empty queues.
    ASSERT_TRUE(queues.pushDepthSet(setOf(4000, 20000)));
    EXPECT_FALSE(queues.pushUsbFrame(setOf(1, 0)));
    ASSERT_TRUE(queues.depthSets().pop());
    EXPECT_EQ(queues.backlogBytes(), 0u);

    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(queues.pushDepthSet(setOf(1000, 2000)));
    ASSERT_TRUE(queues.pushUsbFrame(setOf(1000, 0)));
    EXPECT_EQ(queues.backlogBytes(), 10000u);
    EXPECT_EQ(queues.backlogSets(), 4u);
    FrameSet refused = setOf(1000, 2000);
    EXPECT_FALSE(queues.pushDepthSet(std::move(refused)));
    EXPECT_TRUE(refused.depth.data) << "a refused set stays whole with the caller";
    EXPECT_FALSE(queues.pushUsbFrame(setOf(1, 0)));

    ASSERT_TRUE(queues.usbFrames().pop());
    EXPECT_EQ(queues.backlogBytes(), 9000u);
    EXPECT_TRUE(queues.pushUsbFrame(setOf(1000, 0)));
    ASSERT_TRUE(queues.pushImu(ImuSample{}));
    EXPECT_EQ(queues.clearImages(), 4u);
    EXPECT_EQ(queues.backlogBytes(), 0u);
    EXPECT_EQ(queues.imu().size(), 1u) << "a declined snapshot leaves the motion data";
    EXPECT_TRUE(queues.pushDepthSet(std::move(refused)));
    // That push already woke the consumer: a wait that starts later returns at once.
    queues.waitForWork(std::chrono::steady_clock::now() + std::chrono::hours(1));
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
                const bool ok = camera == 0 ? queues.pushDepthSet(setOf(1024, 2048))
                                            : queues.pushUsbFrame(setOf(setBytes, 0));
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
