#include <thread>

#include <gtest/gtest.h>

#include "Log.h"

TEST(Log, ConcurrentWritersKeepWholeLines)
{
    kavrel::log::LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i)
                LOGD << "thread " << t << " line " << i;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.count("] thread "), 200);
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(capture.count("thread " + std::to_string(t) + " line 49"), 1);
}
