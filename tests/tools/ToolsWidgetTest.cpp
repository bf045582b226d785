// Configured scripts as tool entries; the tools window with real scripts, its boxes answered by a hook.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <map>
#include <tuple>
#include <vector>

#include <sys/types.h>

#include <QFile>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTextEdit>
#include <gtest/gtest.h>

#include "ScriptsWidget.h"
#include "ConfigFixture.h"
#include "ToolsWidget.h"

using kavrel::test::waitUntil;

namespace {

class ToolsWidgetTest : public kavrel::test::FreshConfigTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        FreshConfigTest::SetUp();
        previousHook_ = ToolsWidget::setMessageHook(
            [this](QWidget*, ToolsWidget::MessageKind kind, const QString& title, const QString&) {
                titles_.push_back(title);
                auto it = answers_.find(title);
                if (kind != ToolsWidget::MessageKind::Question)
                    return QMessageBox::Ok;
                return it == answers_.end() ? QMessageBox::Yes : it->second;
            });
    }
    void TearDown() override
    {
        ToolsWidget::setMessageHook(previousHook_);
        FreshConfigTest::TearDown();
    }

    QString writeScript(const QString& name, const std::string& body, bool executable = true)
    {
        const QString path = dir_.filePath(name);
        kavrel::test::writeFile(path.toStdString(), "#!/bin/sh\n" + body);
        const QFile::Permissions exec = executable ? QFile::ExeOwner : QFile::Permission(0);
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | exec);
        return path;
    }
    void configure(std::vector<script_entry> scripts) { config_manager::instance().scripts_ = std::move(scripts); }

    // Log lines without their "[HH:mm:ss] " prefix; a line without one fails the test.
    static QStringList logMessages(ToolsWidget& w, int i)
    {
        static const QRegularExpression prefix(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] (.*)$"));
        QStringList result;
        for (const QString& line : w.page(i)->logView()->toPlainText().split('\n')) {
            const auto match = prefix.match(line);
            EXPECT_TRUE(match.hasMatch()) << "line without time prefix: " << line.toStdString();
            result << match.captured(1);
        }
        return result;
    }
    static bool logHas(ToolsWidget& w, int i, const QString& text)
    {
        return w.page(i)->logView()->toPlainText().contains(text);
    }
    static bool waitIdle(ToolsWidget& w)
    {
        return waitUntil([&] { return !w.isScriptRunning() && w.currentRunningIndex() < 0; }, 10000);
    }
    int countMessages(const QString& title) const { return int(std::count(titles_.begin(), titles_.end(), title)); }
    // A script that says "ready" and then runs until it is stopped.
    QString loopScript(const std::string& prelude = "")
    {
        return writeScript("loop.sh", prelude + "echo ready\nwhile :; do sleep 0.1; done\n");
    }
    static void runUntilReady(ToolsWidget& w, int i)
    {
        w.page(i)->runButton()->click();
        ASSERT_TRUE(waitUntil([&] { return logHas(w, i, "ready"); }));
    }

    QTemporaryDir dir_;
    std::vector<QString> titles_;
    std::map<QString, QMessageBox::StandardButton> answers_;
    ToolsWidget::MessageHook previousHook_;
};

TEST(ToolEntries, CommandsSplitAsAShellDoesAndBareNamesLiveInUsrBin)
{
    for (const auto& [cmd, program, arguments] : std::vector<std::tuple<std::string, QString, QStringList>>{
             {"   fsck.sh   ", "/usr/bin/fsck.sh", {}},
             {"./tools/x.sh", "./tools/x.sh", {}},
             {"sync.sh    --dry-run     -n 3", "/usr/bin/sync.sh", {"--dry-run", "-n", "3"}},
             {R"("/opt/my tool.sh" "two words" plain)", "/opt/my tool.sh", {"two words", "plain"}},
             {"/bin/sh -c 'echo done; exit 0'", "/bin/sh", {"-c", "echo done; exit 0"}},
             {R"(/bin/echo 'it''s' "say \"hi\"" a\ b 'x"y')", "/bin/echo", {"its", "say \"hi\"", "a b", "x\"y"}},
         }) {
        const auto entries = makeToolEntries({{"Tool", cmd, ""}});
        ASSERT_EQ(entries.size(), 1u) << cmd;
        EXPECT_EQ(entries[0].program, program) << cmd;
        EXPECT_EQ(entries[0].arguments, arguments) << cmd;
        EXPECT_TRUE(entries[0].commandError.isEmpty()) << cmd;
    }
}

TEST(ToolEntries, OneTabPerNamedEntryWithACommandInConfiguredOrderAndOneThatDoesNotParseSaysWhy)
{
    const auto entries = makeToolEntries({{"", "a.sh", ""}, {"First", "  backup.sh --all  ", ""}, {"NoCommand", "", ""},
        {"   ", "b.sh", ""}, {"  Second  ", "second.sh", "清理缓存"}, {"EmptyQuotes", "\"\"", ""},
        {"Third", "echo.sh %1", ""}, {"Open", "/bin/sh -c 'echo done", ""}, {"Substitution", "echo $(reboot)", ""},
        {"Pipe", "dmesg | tail", ""}});
    ASSERT_EQ(entries.size(), 6u);
    EXPECT_EQ(entries[1].name, "Second");
    EXPECT_EQ(entries[1].description, "清理缓存");
    // The command is shown verbatim, placeholders in it are not refilled.
    EXPECT_EQ(entries[2].description, "执行命令: echo.sh %1");
    for (size_t i = 3; i < entries.size(); ++i) {
        EXPECT_TRUE(entries[i].program.isEmpty()) << i;
        EXPECT_TRUE(entries[i].commandError.startsWith("命令无法解析: ")) << entries[i].commandError.toStdString();
        EXPECT_TRUE(entries[i].description.contains(entries[i].commandError)) << "shown in the tab's log view";
    }
    EXPECT_EQ(entries[3].commandError, "命令无法解析: /bin/sh -c 'echo done (引号或括号不成对)");
    EXPECT_TRUE(entries[4].commandError.contains("命令替换")) << "never runs the substitution";
}

TEST_F(ToolsWidgetTest, WhileAScriptRunsOtherTabsOnlyHintStoppingEndsItAsFailedAndClosingAsksFirst)
{
    const QString marker = dir_.filePath("second-ran");
    const QString other = writeScript("other.sh", "touch '" + marker.toStdString() + "'\n");
    configure({{"Loop", loopScript().toStdString(), ""}, {"Other", other.toStdString(), "other"}});
    ToolsWidget w;
    w.show();
    runUntilReady(w, 0);
    EXPECT_FALSE(w.page(1)->runButton()->isEnabled());
    emit w.page(1)->primaryActionRequested();
    EXPECT_EQ(countMessages("提示"), 1);
    EXPECT_EQ(w.currentRunningIndex(), 0);

    w.page(0)->runButton()->click();
    // The stop is on its way: the button stays "停止" but cannot be pressed again.
    EXPECT_FALSE(w.page(0)->runButton()->isEnabled());
    emit w.page(0)->primaryActionRequested();  // a second press before the script is gone
    ASSERT_TRUE(waitIdle(w));

    const QStringList log = logMessages(w, 0);
    EXPECT_EQ(log.count("收到停止请求，正在终止脚本..."), 1) << "a second press sends nothing more";
    EXPECT_TRUE(log.last().startsWith("执行失败，退出码: ")) << log.last().toStdString();
    EXPECT_EQ(countMessages("执行失败"), 1);
    EXPECT_TRUE(w.page(1)->runButton()->isEnabled());
    EXPECT_FALSE(QFile::exists(marker));

    runUntilReady(w, 0);
    answers_["脚本仍在运行"] = QMessageBox::No;
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isScriptRunning());
    answers_["脚本仍在运行"] = QMessageBox::Yes;
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isScriptRunning());
}

TEST_F(ToolsWidgetTest, OutputStreamsInOrderWithTimePrefixAfterAConfirmationAndFailuresAreReportedAndOfferARetry)
{
    const QString flag = dir_.filePath("ok");
    const QString path = writeScript("lines.sh",
                                     "echo one\nsleep 0.3\n"
                                     "printf '   \\n\\t\\n'\nsleep 0.3\n"
                                     "echo '<b>two</b>'\nsleep 0.3\n"
                                     "printf 'three\\0hidden\\n'\n"
                                     "[ -f '" + flag.toStdString() + "' ] && exit 0\nexit 3\n");
    const QString noExec = writeScript("noexec.sh", "echo never\n", false);
    configure({{"Lines", (path + " a \"b c\"").toStdString(), "desc"},
               {"Ghost", "/nonexistent/kavrel-ghost.sh --all", ""}, {"NoExec", noExec.toStdString(), ""}});
    ToolsWidget w;
    answers_["确认执行"] = QMessageBox::No;
    w.page(0)->runButton()->click();
    EXPECT_FALSE(w.isScriptRunning()) << "declined: nothing runs";
    EXPECT_EQ(w.page(0)->logView()->toPlainText(), "desc");

    answers_.clear();
    w.page(0)->runButton()->click();
    EXPECT_EQ(w.page(0)->runButton()->text(), "停止");
    ASSERT_TRUE(waitIdle(w));
    EXPECT_EQ(logMessages(w, 0), (QStringList{"开始执行: " + path + " a b c", "one", "<b>two</b>", "three",
                                              "执行失败，退出码: 3"}));
    EXPECT_EQ(countMessages("执行失败"), 1);
    EXPECT_EQ(w.page(0)->runButton()->text(), "再次运行");

    kavrel::test::writeFile(flag.toStdString(), "");
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitIdle(w));
    EXPECT_EQ(logMessages(w, 0).first(), "开始执行: " + path + " a b c");  // a fresh log for the new run
    EXPECT_EQ(logMessages(w, 0).last(), "执行完成。");
    EXPECT_EQ(w.page(0)->runButton()->text(), "运行");

    w.onPrimaryAction(3);  // out of range: ignored
    // A missing or unstartable program: nothing starts, the description stays.
    for (int i = 1; i < 3; ++i) {
        w.page(i)->runButton()->click();
        EXPECT_FALSE(w.isScriptRunning()) << i;
    }
    EXPECT_TRUE(logHas(w, 1, "执行命令: /nonexistent/kavrel-ghost.sh --all\n["));
    EXPECT_TRUE(logHas(w, 1, "] 脚本不存在: /nonexistent/kavrel-ghost.sh"));
    EXPECT_EQ(countMessages("错误"), 1);
    EXPECT_TRUE(logHas(w, 2, "] 启动失败。"));
    EXPECT_EQ(countMessages("启动失败"), 1);
    EXPECT_EQ(w.page(2)->runButton()->text(), "再次运行");
}

// A script that ignores TERM once hung the window's destruction.
TEST_F(ToolsWidgetTest, ScriptIgnoringTermBlocksCloseButNotDestruction)
{
    const QString pidFile = dir_.filePath("pid");
    const QString path = loopScript("trap '' TERM\necho $$ > '" + pidFile.toStdString() + "'\n");
    configure({{"Stubborn", path.toStdString(), ""}});
    auto* w = new ToolsWidget;
    w->show();
    runUntilReady(*w, 0);
    const pid_t pid = static_cast<pid_t>(std::stol(kavrel::test::readFile(pidFile.toStdString())));
    ASSERT_GT(pid, 0);

    EXPECT_FALSE(w->close());  // answered yes, but the script outlives the wait
    EXPECT_EQ(countMessages("无法关闭"), 1);

    titles_.clear();
    delete w;
    EXPECT_TRUE(titles_.empty()) << "no box may appear while the window is destroyed";
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "the script must be gone and reaped";
}

} // namespace
