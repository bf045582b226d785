// The tools window driven through its real widgets, with real child
// processes: small shell scripts written into a temporary folder. Message
// boxes are answered by a hook, so no test waits on a modal box.
#include <cerrno>
#include <csignal>
#include <map>
#include <vector>

#include <sys/types.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <gtest/gtest.h>

#include "Log.h"
#include "ScriptsWidget.h"
#include "TestSupport.h"
#include "ToolsWidget.h"
#include "config_manager.h"

using kavrel::test::waitUntil;

namespace {

struct ShownMessage {
    ToolsWidget::MessageKind kind;
    QString title;
    QString text;
};

class ToolsWidgetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        config_manager::instance().resetForTest();
        previousHook_ = ToolsWidget::setMessageHook(
            [this](QWidget*, ToolsWidget::MessageKind kind, const QString& title, const QString& text) {
                messages_.push_back({kind, title, text});
                if (kind != ToolsWidget::MessageKind::Question)
                    return QMessageBox::Ok;
                auto it = answers_.find(title);
                return it == answers_.end() ? QMessageBox::Yes : it->second;
            });
    }
    void TearDown() override
    {
        ToolsWidget::setMessageHook(previousHook_);
        config_manager::instance().resetForTest();
    }

    // Writes an executable shell script and returns its path.
    QString writeScript(const QString& name, const std::string& body, bool executable = true)
    {
        const QString path = dir_.filePath(name);
        kavrel::test::writeFile(path.toStdString(), "#!/bin/sh\n" + body);
        QFile::Permissions perms = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            perms |= QFile::ExeOwner;
        QFile::setPermissions(path, perms);
        return path;
    }
    void configure(std::vector<script_entry> scripts) { config_manager::instance().scripts_ = std::move(scripts); }

    static QStringList logLines(ToolsWidget& w, int i) { return w.page(i)->logView()->toPlainText().split('\n'); }
    // Log lines without their "[HH:mm:ss] " prefix; a line without one fails the test.
    static QStringList logMessages(ToolsWidget& w, int i)
    {
        static const QRegularExpression prefix(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] (.*)$"));
        QStringList result;
        for (const QString& line : logLines(w, i)) {
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
    static bool waitIdle(ToolsWidget& w, int ms = 10000)
    {
        return waitUntil([&] { return !w.isScriptRunning() && w.currentRunningIndex() < 0; }, ms);
    }
    int countMessages(const QString& title) const
    {
        int n = 0;
        for (const auto& m : messages_)
            n += m.title == title;
        return n;
    }
    const ShownMessage* findMessage(const QString& title) const
    {
        for (const auto& m : messages_)
            if (m.title == title)
                return &m;
        return nullptr;
    }

    QTemporaryDir dir_;
    std::vector<ShownMessage> messages_;
    std::map<QString, QMessageBox::StandardButton> answers_;
    ToolsWidget::MessageHook previousHook_;
};

TEST_F(ToolsWidgetTest, BuildsOneTabPerUsableEntryInConfiguredOrder)
{
    configure({{"Alpha", "alpha.sh", ""},
               {"", "skip.sh", ""},
               {"Beta", "/opt/beta.sh --x", "Beta 说明"},
               {"Gamma", "", ""},
               {"Gamma2", "./g.sh", ""}});
    kavrel::log::LogCapture capture;
    QWidget parent;
    parent.resize(1000, 500);
    ToolsWidget w(&parent);
    EXPECT_FALSE(capture.contains("Failed to load stylesheet:"));
    EXPECT_EQ(w.windowTitle(), "工具");
    EXPECT_TRUE(w.isWindow());
    EXPECT_EQ(w.size(), QSize(800, 400)) << "four fifths of the parent window";
    ASSERT_EQ(w.tabWidget()->count(), 3);
    EXPECT_EQ(w.tabWidget()->tabText(0), "Alpha");
    EXPECT_EQ(w.tabWidget()->tabText(1), "Beta");
    EXPECT_EQ(w.tabWidget()->tabText(2), "Gamma2");
    EXPECT_EQ(w.page(1)->descriptionLabel()->text(), "Beta 说明");
    EXPECT_EQ(w.page(1)->logView()->toPlainText(), "Beta 说明");
    EXPECT_EQ(w.page(0)->logView()->toPlainText(), "执行命令: alpha.sh");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(w.page(i)->parentWidget(), w.tabWidget()->widget(i));
        EXPECT_EQ(w.page(i)->runButton()->text(), "运行");
        EXPECT_TRUE(w.page(i)->runButton()->isEnabled());
    }
    EXPECT_EQ(w.page(3), nullptr);

    configure({});
    ToolsWidget empty;
    EXPECT_EQ(empty.tabWidget()->count(), 0);
    empty.onPrimaryAction(0);  // out of range: ignored
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ToolsWidgetTest, SingleQuotedShellCommandRunsAndUnparsableOneIsExplained)
{
    configure({{"Quoted", "/bin/sh -c 'echo done; exit 0'", ""}, {"Open", "/bin/sh -c 'echo done", ""}});
    ToolsWidget w;
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitIdle(w));
    EXPECT_EQ(logMessages(w, 0), (QStringList{"开始执行: /bin/sh -c echo done; exit 0", "done", "执行完成。"}));

    messages_.clear();
    w.page(1)->runButton()->click();
    EXPECT_TRUE(messages_.empty()) << "nothing to confirm: the command cannot run";
    EXPECT_FALSE(w.isScriptRunning());
    EXPECT_TRUE(logHas(w, 1, "命令无法解析: /bin/sh -c 'echo done (引号或括号不成对)"));
}

TEST_F(ToolsWidgetTest, OutputStreamsInOrderWithTimePrefixAndBlankChunksAreSkipped)
{
    const QString path = writeScript("lines.sh",
                                     "echo one\nsleep 0.3\n"
                                     "printf '   \\n\\t\\n'\nsleep 0.3\n"
                                     "echo '<b>two</b>'\nsleep 0.3\n"
                                     "printf 'three\\0hidden\\n'\n");
    configure({{"Lines", (path + " a \"b c\"").toStdString(), ""}});
    ToolsWidget w;
    w.page(0)->runButton()->click();

    ASSERT_NE(findMessage("确认执行"), nullptr);
    EXPECT_EQ(findMessage("确认执行")->text, "确认执行工具：Lines ?");
    EXPECT_EQ(w.page(0)->runButton()->text(), "停止");
    ASSERT_TRUE(waitIdle(w));

    EXPECT_EQ(logMessages(w, 0), (QStringList{"开始执行: " + path + " a b c", "one", "<b>two</b>", "three",
                                              "执行完成。"}));
    EXPECT_FALSE(w.lastRunFailedAt(0));
    EXPECT_EQ(w.page(0)->runButton()->text(), "运行");
    EXPECT_EQ(countMessages("执行失败"), 0);
}

TEST_F(ToolsWidgetTest, DecliningTheConfirmationStartsNothing)
{
    configure({{"Echo", "/bin/echo", "desc"}});
    answers_["确认执行"] = QMessageBox::No;
    ToolsWidget w;
    w.page(0)->runButton()->click();
    // A start happens inside the click (it waits for the child to start).
    EXPECT_FALSE(w.isScriptRunning());
    EXPECT_EQ(w.currentRunningIndex(), -1);
    EXPECT_EQ(w.page(0)->logView()->toPlainText(), "desc");
}

TEST_F(ToolsWidgetTest, FailingScriptWarnsAndOffersRetryUntilItSucceeds)
{
    const QString flag = dir_.filePath("ok");
    const QString path = writeScript("exit3.sh", "echo trying\n[ -f '" + flag.toStdString() + "' ] && exit 0\nexit 3\n");
    configure({{"Exit", path.toStdString(), ""}, {"Other", path.toStdString(), ""}});
    ToolsWidget w;
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitIdle(w));

    EXPECT_EQ(logMessages(w, 0).last(), "执行失败，退出码: 3");
    const ShownMessage* warning = findMessage("执行失败");
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->kind, ToolsWidget::MessageKind::Warning);
    EXPECT_EQ(warning->text, "脚本执行失败，退出码: 3");
    EXPECT_TRUE(w.lastRunFailedAt(0));
    EXPECT_EQ(w.page(0)->runButton()->text(), "再次运行");
    EXPECT_EQ(w.page(1)->runButton()->text(), "运行");

    kavrel::test::writeFile(flag.toStdString(), "");
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitIdle(w));
    EXPECT_EQ(logMessages(w, 0).first(), "开始执行: " + path + " ");  // a fresh log for the new run
    EXPECT_EQ(logMessages(w, 0).last(), "执行完成。");
    EXPECT_FALSE(w.lastRunFailedAt(0));
    EXPECT_EQ(w.page(0)->runButton()->text(), "运行");
    EXPECT_EQ(countMessages("执行失败"), 1);
}

TEST_F(ToolsWidgetTest, StoppingLogsTerminateOnceThenWaitsAndEndsAsFailed)
{
    const QString path = writeScript("loop.sh", "echo ready\nwhile :; do sleep 0.1; done\n");
    configure({{"Loop", path.toStdString(), ""}});
    ToolsWidget w;
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitUntil([&] { return logHas(w, 0, "ready"); }));

    w.page(0)->runButton()->click();
    // The stop is on its way: the button stays "停止" but cannot be pressed again.
    EXPECT_EQ(w.page(0)->runButton()->text(), "停止");
    EXPECT_FALSE(w.page(0)->runButton()->isEnabled());
    emit w.page(0)->primaryActionRequested();  // a second press before the script is gone
    ASSERT_TRUE(waitIdle(w));

    const QStringList log = logMessages(w, 0);
    EXPECT_EQ(log.count("收到停止请求，正在终止脚本..."), 1);
    EXPECT_EQ(log.count("已发送终止信号，等待脚本自行退出。"), 1);
    EXPECT_EQ(log.count("停止请求已发送，等待脚本退出..."), 1);
    EXPECT_LT(log.indexOf("已发送终止信号，等待脚本自行退出。"), log.indexOf("停止请求已发送，等待脚本退出..."));
    EXPECT_TRUE(log.last().startsWith("执行失败，退出码: ")) << log.last().toStdString();
    EXPECT_EQ(countMessages("执行失败"), 1);
    EXPECT_TRUE(w.lastRunFailedAt(0));
    EXPECT_EQ(w.page(0)->runButton()->text(), "再次运行");
    EXPECT_TRUE(w.page(0)->runButton()->isEnabled());
}

TEST_F(ToolsWidgetTest, AnotherTabWhileAScriptRunsOnlyShowsTheHint)
{
    const QString loop = writeScript("loop.sh", "echo ready\nwhile :; do sleep 0.1; done\n");
    const QString marker = dir_.filePath("second-ran");
    const QString other = writeScript("other.sh", "touch '" + marker.toStdString() + "'\n");
    configure({{"Loop", loop.toStdString(), ""}, {"Other", other.toStdString(), "other"}});
    ToolsWidget w;
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitUntil([&] { return logHas(w, 0, "ready"); }));
    EXPECT_FALSE(w.page(1)->runButton()->isEnabled());
    EXPECT_EQ(w.page(1)->runButton()->text(), "运行");

    messages_.clear();
    emit w.page(1)->primaryActionRequested();
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0].kind, ToolsWidget::MessageKind::Information);
    EXPECT_EQ(messages_[0].title, "提示");
    EXPECT_EQ(messages_[0].text, "已有脚本正在运行，请先停止当前脚本。");
    EXPECT_EQ(w.currentRunningIndex(), 0);
    EXPECT_EQ(w.page(1)->logView()->toPlainText(), "other");
    EXPECT_FALSE(logHas(w, 0, "收到停止请求"));

    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitIdle(w));
    EXPECT_FALSE(QFile::exists(marker));
    EXPECT_TRUE(w.page(1)->runButton()->isEnabled());
}

TEST_F(ToolsWidgetTest, MissingProgramIsReportedAndNothingStarts)
{
    configure({{"Ghost", "/nonexistent/kavrel-ghost.sh --all", ""}, {"Bare", "kavrel-no-such-tool", ""}});
    ToolsWidget w;
    w.page(0)->runButton()->click();
    EXPECT_FALSE(w.isScriptRunning());
    // The description stays: the log is only cleared when a run really starts.
    const QStringList lines = logLines(w, 0);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], "执行命令: /nonexistent/kavrel-ghost.sh --all");
    EXPECT_TRUE(lines[1].endsWith("] 脚本不存在: /nonexistent/kavrel-ghost.sh")) << lines[1].toStdString();
    const ShownMessage* warning = findMessage("错误");
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->text, "未找到脚本: /nonexistent/kavrel-ghost.sh");

    w.page(1)->runButton()->click();
    EXPECT_TRUE(logHas(w, 1, "脚本不存在: /usr/bin/kavrel-no-such-tool"));
    EXPECT_EQ(w.page(1)->runButton()->text(), "运行");
}

TEST_F(ToolsWidgetTest, ProgramThatCannotStartIsReportedAndOffersRetry)
{
    const QString path = writeScript("noexec.sh", "echo never\n", false);
    configure({{"NoExec", path.toStdString(), ""}});
    ToolsWidget w;
    w.page(0)->runButton()->click();
    EXPECT_FALSE(w.isScriptRunning());
    EXPECT_EQ(w.currentRunningIndex(), -1);
    const QStringList log = logMessages(w, 0);
    EXPECT_TRUE(log.contains("启动失败。"));
    EXPECT_TRUE(log.contains(QStringLiteral("进程错误: %1").arg(int(QProcess::FailedToStart))));
    const ShownMessage* warning = findMessage("启动失败");
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->text, "脚本无法启动。");
    EXPECT_TRUE(w.lastRunFailedAt(0));
    EXPECT_EQ(w.page(0)->runButton()->text(), "再次运行");
    EXPECT_TRUE(w.page(0)->runButton()->isEnabled());
}

TEST_F(ToolsWidgetTest, ClosingWhileRunningAsksAndStopsTheScriptOnYes)
{
    const QString path = writeScript("loop.sh", "echo ready\nwhile :; do sleep 0.1; done\n");
    configure({{"Loop", path.toStdString(), ""}});
    ToolsWidget w;
    w.show();
    w.page(0)->runButton()->click();
    ASSERT_TRUE(waitUntil([&] { return logHas(w, 0, "ready"); }));

    answers_["脚本仍在运行"] = QMessageBox::No;
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.isVisible());
    EXPECT_TRUE(w.isScriptRunning());
    const ShownMessage* question = findMessage("脚本仍在运行");
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->text, "当前脚本尚未执行完成，是否停止并关闭窗口？");

    answers_["脚本仍在运行"] = QMessageBox::Yes;
    EXPECT_TRUE(w.close());
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.isScriptRunning());
    EXPECT_EQ(countMessages("无法关闭"), 0);

    // Reopening an idle window shows the descriptions again.
    w.show();
    EXPECT_EQ(w.page(0)->logView()->toPlainText(), "执行命令: " + path);
    EXPECT_EQ(w.page(0)->runButton()->text(), "再次运行");

    messages_.clear();
    EXPECT_TRUE(w.close());  // nothing runs: no question
    EXPECT_TRUE(messages_.empty());
}

TEST_F(ToolsWidgetTest, ScriptIgnoringTermBlocksCloseButNotDestruction)
{
    const QString pidFile = dir_.filePath("pid");
    const QString path = writeScript("stubborn.sh", "trap '' TERM\necho $$ > '" + pidFile.toStdString()
                                                        + "'\necho ready\nwhile :; do sleep 0.1; done\n");
    configure({{"Stubborn", path.toStdString(), ""}});
    auto* w = new ToolsWidget;
    w->show();
    w->page(0)->runButton()->click();
    ASSERT_TRUE(waitUntil([&] { return logHas(*w, 0, "ready"); }));
    const pid_t pid = static_cast<pid_t>(std::stol(kavrel::test::readFile(pidFile.toStdString())));
    ASSERT_GT(pid, 0);

    EXPECT_FALSE(w->close());  // answered yes, but the script outlives the wait
    EXPECT_TRUE(w->isVisible());
    const ShownMessage* warning = findMessage("无法关闭");
    ASSERT_NE(warning, nullptr);
    EXPECT_EQ(warning->text, "脚本进程仍在运行，请稍后重试。");
    EXPECT_TRUE(w->isScriptRunning());

    messages_.clear();
    QElapsedTimer timer;
    timer.start();
    delete w;
    // Bounded by the terminate wait plus a short kill; a hang would never return.
    EXPECT_LT(timer.elapsed(), 15000);
    EXPECT_TRUE(messages_.empty()) << "no box may appear while the window is destroyed";
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH) << "the script must be gone and reaped";
}

} // namespace
