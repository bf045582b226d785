#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "Log.h"

namespace {

struct Widget {
    static std::pair<std::string, int> lineFromMember()
    {
        kavrel::log::LogCapture capture;
        LOGW << "member " << 7;
        const int logLine = __LINE__ - 1;
        return {capture.lines().at(0), logLine};
    }
};

} // namespace

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
    EXPECT_NE(lines[2].find(" WARN  ["), std::string::npos);
    EXPECT_TRUE(lines[0].size() > 4 && lines[0].substr(lines[0].size() - 5) == " x=42");
    EXPECT_NE(lines[3].find("] error text"), std::string::npos);
}

TEST(Log, RecordNamesClassFunctionAndLine)
{
    const auto [line, expectedLine] = Widget::lineFromMember();
    EXPECT_NE(line.find("[{anonymous}::Widget::lineFromMember@" + std::to_string(expectedLine) + "] member 7"),
        std::string::npos)
        << line;
}

TEST(Log, ShortFunctionNameStripsReturnTypeAndParameters)
{
    using kavrel::log::shortFunctionName;
    EXPECT_EQ(shortFunctionName("void Foo::bar(int)"), "Foo::bar");
    EXPECT_EQ(shortFunctionName("int main(int, char**)"), "main");
    EXPECT_EQ(shortFunctionName("Foo::Foo()"), "Foo::Foo");
    EXPECT_EQ(shortFunctionName("std::vector<std::pair<int, int> > ns::Cls<T>::get(std::map<int, int>) const"),
        "ns::Cls<T>::get");
    EXPECT_EQ(shortFunctionName("void Foo::run()::<lambda()>"), "Foo::run");
    EXPECT_EQ(shortFunctionName("bool Foo::operator()(int) const"), "Foo::operator()");
    EXPECT_EQ(shortFunctionName("no_parentheses"), "no_parentheses");
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
