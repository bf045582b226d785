#include "Log.h"

#include <unistd.h>

#include <algorithm>
#include <QByteArray>
#include <QString>

#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/base_sink.h>

namespace kavrel::log {
namespace {

class PaddedLevelFlag final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override
    {
        std::string_view name;
        switch (msg.level) {
        case spdlog::level::trace: name = "VERB "; break;
        case spdlog::level::debug: name = "DEBUG"; break;
        case spdlog::level::info: name = "INFO "; break;
        case spdlog::level::warn: name = "WARN "; break;
        case spdlog::level::err: name = "ERROR"; break;
        case spdlog::level::critical: name = "FATAL"; break;
        default: name = "NONE "; break;
        }
        dest.append(name.data(), name.data() + name.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<PaddedLevelFlag>(); }
};

class FunctionFlag final : public spdlog::custom_flag_formatter {
public:
    void format(const spdlog::details::log_msg& msg, const std::tm&, spdlog::memory_buf_t& dest) override
    {
        const std::string name = msg.source.funcname ? shortFunctionName(msg.source.funcname) : std::string();
        dest.append(name.data(), name.data() + name.size());
    }
    std::unique_ptr<custom_flag_formatter> clone() const override { return std::make_unique<FunctionFlag>(); }
};

// Forwards every formatted line to the LogCaptures alive at the time.
class TapSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    void attach(LogCapture* capture)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        captures_.push_back(capture);
    }
    void detach(LogCapture* capture)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        captures_.erase(std::remove(captures_.begin(), captures_.end(), capture), captures_.end());
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        if (captures_.empty())
            return;
        spdlog::memory_buf_t formatted;
        formatter_->format(msg, formatted);
        std::string line(formatted.data(), formatted.size());
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        for (LogCapture* capture : captures_)
            capture->append(line);
    }
    void flush_() override {}

private:
    std::vector<LogCapture*> captures_;
};

TapSink& tapSink()
{
    static auto* sink = new TapSink();
    return *sink;
}

std::shared_ptr<TapSink> tapSinkShared()
{
    // The tap lives as long as the never-destroyed logger; a non-owning
    // shared_ptr lets spdlog hold it.
    return std::shared_ptr<TapSink>(&tapSink(), [](TapSink*) {});
}

} // namespace

std::string shortFunctionName(std::string_view pretty)
{
    // The parameter list starts at the first '(' outside template brackets.
    int depth = 0;
    std::size_t open = std::string_view::npos;
    for (std::size_t i = 0; i < pretty.size(); ++i) {
        const char c = pretty[i];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && depth == 0) {
            // "operator()" keeps its own brackets.
            if (i >= 8 && pretty.substr(i - 8, 8) == "operator" && i + 1 < pretty.size() && pretty[i + 1] == ')') {
                ++i;
                continue;
            }
            open = i;
            break;
        }
    }
    if (open == std::string_view::npos)
        return std::string(pretty);
    // The name starts after the last blank outside template brackets (return type).
    depth = 0;
    std::size_t begin = 0;
    for (std::size_t i = open; i-- > 0;) {
        const char c = pretty[i];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if (c == ' ' && depth == 0) {
            begin = i + 1;
            break;
        }
    }
    return std::string(pretty.substr(begin, open - begin));
}

std::unique_ptr<spdlog::formatter> makeFormatter()
{
    auto formatter = std::make_unique<spdlog::pattern_formatter>();
    formatter->add_flag<PaddedLevelFlag>('*');
    formatter->add_flag<FunctionFlag>('&');
    formatter->set_pattern("%^%Y-%m-%d %H:%M:%S.%e %* [%t] [%&@%#] %v%$");
    return formatter;
}

spdlog::logger& logger()
{
    static spdlog::logger* instance = [] {
        // Colour only when standard output is a terminal, decided once.
        const auto mode = isatty(STDOUT_FILENO) ? spdlog::color_mode::always : spdlog::color_mode::never;
        auto console = std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>(mode);
        console->set_color(spdlog::level::debug, console->cyan);
        console->set_color(spdlog::level::info, console->reset);
        console->set_color(spdlog::level::warn, console->yellow);
        console->set_color(spdlog::level::err, console->red);
        console->set_formatter(makeFormatter());
        auto tap = tapSinkShared();
        tap->set_formatter(makeFormatter());
        auto* created = new spdlog::logger("kavrel", {console, tap});
        created->set_level(spdlog::level::debug);
        // A crash must not swallow the lines that led to it.
        created->flush_on(spdlog::level::debug);
        return created;
    }();
    return *instance;
}

Record::Record(spdlog::level::level_enum level, const char* function, int line, const char* file)
    : level_(level), function_(function), line_(line), file_(file)
{
}

Record::~Record()
{
    try {
        logger().log(spdlog::source_loc{file_, line_, function_}, level_, stream_.str());
    } catch (...) {
        // Logging must never take the caller down.
    }
}

Record& Record::operator<<(const QString& value)
{
    stream_ << value.toStdString();
    return *this;
}

Record& Record::operator<<(const QByteArray& value)
{
    stream_ << value.toStdString();
    return *this;
}

LogCapture::LogCapture()
{
    logger();
    tapSink().attach(this);
}

LogCapture::~LogCapture()
{
    tapSink().detach(this);
}

void LogCapture::append(std::string line)
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::move(line));
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool LogCapture::contains(std::string_view text) const
{
    return count(text) > 0;
}

int LogCapture::count(std::string_view text) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(),
        [&](const std::string& line) { return line.find(text) != std::string::npos; }));
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

} // namespace kavrel::log
