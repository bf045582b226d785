#pragma once
// Helpers shared by the test programs.

#include <cstdlib>
#include <optional>
#include <string>

#include <QStringList>
#include <QTemporaryDir>

namespace kavrel::test {

// Inputs shaped like real boards' (device listings, UVC frames), kept in
// tests/data; nullopt when the file is absent.
std::optional<std::string> readTestInput(const std::string& relative);

// Reads a test input into `var`, or skips the calling test with the reason.
#define KAVREL_TEST_INPUT_OR_SKIP(var, relative)                                    \
    const std::optional<std::string> var##_input = kavrel::test::readTestInput(relative); \
    if (!var##_input)                                                               \
        GTEST_SKIP() << "test input absent: tests/data/" << (relative);            \
    const std::string& var = *var##_input

// qemu-user mis-emulates the clone() behind QProcess: a child's pid comes back
// as garbage, and stopping the child would signal unrelated processes. Tests
// that start programs skip in an emulated (cross-compiled) build.
#ifdef KAVREL_UNDER_EMULATION
#define KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION() \
    GTEST_SKIP() << "QProcess cannot start programs under qemu-user emulation"
#else
#define KAVREL_SKIP_CHILD_PROCESSES_UNDER_EMULATION() (void)0
#endif

// Sets (or unsets, with nullopt) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

void writeFile(const std::string& path, const std::string& content);

// A throw-away HOME with an empty .config/kavrel, set as $HOME while it lives.
class ScratchHome {
public:
    ScratchHome();
    bool isValid() const { return dir_.isValid(); }
    const std::string& path() const { return home_; }
    const std::string& userDir() const { return userDir_; }
    // Writes `content` below the scratch HOME and returns the full path.
    std::string put(const std::string& relative, const std::string& content) const;

private:
    QTemporaryDir dir_;
    std::string home_;
    std::string userDir_;
    std::optional<ScopedEnv> env_;
};
std::string readFile(const std::string& path);

// A program run to its end: exit code -1 when it hung or ended by a signal.
// Under ThreadSanitizer it gets the tests' suppressions for the libraries it uses.
struct ProgramRun {
    int exitCode = -1;
    std::string out, err;
};
ProgramRun runProgram(const QString& program, const QStringList& arguments, int timeoutMs = 120000);

// Polls until predicate() holds or timeoutMs passes, processing Qt events.
template <typename Predicate>
bool waitUntil(Predicate predicate, int timeoutMs = 5000);
bool processEventsFor(int milliseconds);

} // namespace kavrel::test

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

template <typename Predicate>
bool kavrel::test::waitUntil(Predicate predicate, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!predicate()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        if (QCoreApplication::instance())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}
