#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <QProcess>

namespace kavrel::test {

std::optional<std::string> readTestInput(const std::string& relative)
{
    const std::string path = std::string(KAVREL_TESTDATA_DIR) + "/" + relative;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name)
{
    if (const char* old = std::getenv(name))
        previous_ = old;
    if (value)
        setenv(name, value->c_str(), 1);
    else
        unsetenv(name);
}

ScopedEnv::~ScopedEnv()
{
    if (previous_)
        setenv(name_.c_str(), previous_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path);
    out << content;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

ScratchHome::ScratchHome()
    : home_(dir_.path().toStdString()), userDir_(home_ + "/.config/kavrel")
{
    if (!dir_.isValid())
        return;
    std::filesystem::create_directories(userDir_);
    env_.emplace("HOME", home_);
}

std::string ScratchHome::put(const std::string& relative, const std::string& content) const
{
    const std::string path = home_ + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeFile(path, content);
    return path;
}

ProgramRun runProgram(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TSAN_OPTIONS",
        environment.value("TSAN_OPTIONS") + QStringLiteral(" suppressions=" KAVREL_TSAN_SUPPRESSIONS));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    const bool ended = process.waitForFinished(timeoutMs);
    return {ended && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
        process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

bool processEventsFor(int milliseconds)
{
    return waitUntil([] { return false; }, milliseconds) || true;
}

} // namespace kavrel::test
