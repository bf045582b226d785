#pragma once
// Logging for the whole terminal: plog-style stream records on top of spdlog.
//
//   LOGD << "frame " << index << " saved to " << path;
//
// Every line reads `YYYY-MM-DD hh:mm:ss.mmm LEVEL [tid] [Class::function@line] message`
// with LEVEL one of DEBUG, INFO, WARN, ERROR (padded to five characters).
// Colour is used only when standard output is a terminal.

#include <sstream>
#include <string>
#include <string_view>
#include <vector>
#include <memory>
#include <mutex>

#include <spdlog/common.h>

class QString;
class QByteArray;

namespace spdlog {
class logger;
}

namespace kavrel::log {

// The process-wide logger, created on first use. It is deliberately never
// destroyed so that singletons torn down after main() can still log.
spdlog::logger& logger();

// "void Foo::bar(int)" -> "Foo::bar"; lambdas and templates keep their scope.
std::string shortFunctionName(std::string_view prettyFunction);

// The formatter pattern shared by the console and any other sink.
std::unique_ptr<spdlog::formatter> makeFormatter();

class Record {
public:
    Record(spdlog::level::level_enum level, const char* function, int line, const char* file);
    ~Record();
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    template <typename T>
    Record& operator<<(const T& value)
    {
        stream_ << value;
        return *this;
    }
    Record& operator<<(const QString& value);
    Record& operator<<(const QByteArray& value);

private:
    spdlog::level::level_enum level_;
    const char* function_;
    int line_;
    const char* file_;
    std::ostringstream stream_;
};

// Collects the formatted lines logged while it lives (from any thread);
// tests use it to check what the terminal reported.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(std::string_view text) const;
    int count(std::string_view text) const;
    void clear();

    void append(std::string line);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

} // namespace kavrel::log

#define KAVREL_LOG_RECORD(level) ::kavrel::log::Record(level, __PRETTY_FUNCTION__, __LINE__, __FILE__)
#define LOGD KAVREL_LOG_RECORD(::spdlog::level::debug)
#define LOGI KAVREL_LOG_RECORD(::spdlog::level::info)
#define LOGW KAVREL_LOG_RECORD(::spdlog::level::warn)
#define LOGE KAVREL_LOG_RECORD(::spdlog::level::err)
