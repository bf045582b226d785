#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "Log.h"

TEST(Log, LineHasPlogTextLayoutForEverySeverity)
{
    kavrel::log::LogCapture capture;
    LOGD << "x=" << 42;
    LOGI << "info";
    LOGW << "warn";
    LOGE << "error " << std::string("text");
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    const std::regex layout(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} (DEBUG|INFO |WARN |ERROR) \[\d+\] \[[^\]@]+@\d+\] .*$)");
    for (const auto& line : lines)
        EXPECT_TRUE(std::regex_match(line, layout)) << line;
    EXPECT_NE(lines[3].find("] error text"), std::string::npos);
}

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
