#include "ToolsWidget.h"

#include <wordexp.h>

#include <QCloseEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include "Log.h"
#include "ScriptsWidget.h"
#include "ui_ToolsWidget.h"

// Q_INIT_RESOURCE must be used outside any namespace; a static library keeps
// the style sheets only when something calls it.
static void initToolsResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(tools);
        return true;
    }();
    (void)done;
}

namespace {

constexpr int kStartWaitMs = 1500;
constexpr int kStopWaitMs = 5000;

ToolsWidget::MessageHook& messageHook()
{
    static ToolsWidget::MessageHook hook;
    return hook;
}

} // namespace

std::optional<QStringList> splitShellWords(const QString& commandLine, QString& error)
{
    wordexp_t words{};
    // WRDE_NOCMD: a configured command never runs other commands while it is split.
    const int status = ::wordexp(commandLine.toLocal8Bit().constData(), &words, WRDE_NOCMD);
    switch (status) {
    case 0: {
        QStringList result;
        for (size_t i = 0; i < words.we_wordc; ++i)
            result << QString::fromLocal8Bit(words.we_wordv[i]);
        ::wordfree(&words);
        return result;
    }
    case WRDE_BADCHAR:
        error = QStringLiteral("含有未加引号的特殊字符 | & ; < > ( ) { } 或换行");
        break;
    case WRDE_CMDSUB:
        error = QStringLiteral("不允许命令替换 $(...) 或 `...`");
        break;
    case WRDE_SYNTAX:
        error = QStringLiteral("引号或括号不成对");
        break;
    default:
        error = QStringLiteral("无法拆分 (wordexp %1)").arg(status);
        break;
    }
    // After WRDE_NOSPACE part of the result may be allocated.
    if (status == WRDE_NOSPACE)
        ::wordfree(&words);
    return std::nullopt;
}

std::vector<ToolEntry> makeToolEntries(const std::vector<script_entry>& scripts)
{
    std::vector<ToolEntry> result;
    for (const script_entry& script : scripts) {
        ToolEntry entry;
        entry.name = QString::fromStdString(script.name).trimmed();
        const QString commandLine = QString::fromStdString(script.cmd).trimmed();
        QString error;
        if (const auto words = splitShellWords(commandLine, error)) {
            if (!words->isEmpty()) {
                entry.program = words->first();
                entry.arguments = words->mid(1);
            }
        } else {
            entry.commandError = QStringLiteral("命令无法解析: %1 (%2)").arg(commandLine, error);
            LOGW << "Script command cannot be split: name='" << script.name << "' cmd='" << script.cmd
                 << "': " << error;
        }
        // Maintenance scripts are installed in /usr/bin/; a bare name means one of them.
        if (!entry.program.isEmpty() && QFileInfo(entry.program).isRelative()
            && !entry.program.contains(QLatin1Char('/')))
            entry.program.prepend(QStringLiteral("/usr/bin/"));
        entry.description = QString::fromStdString(script.description);
        if (entry.description.trimmed().isEmpty())
            entry.description = QStringLiteral("执行命令: %1").arg(commandLine);
        if (!entry.commandError.isEmpty())
            entry.description += QLatin1Char('\n') + entry.commandError;
        if (entry.name.isEmpty() || (entry.program.isEmpty() && entry.commandError.isEmpty())) {
            LOGW << "Skipping script entry without name or command: name='" << script.name
                 << "' cmd='" << script.cmd << "'";
            continue;
        }
        result.push_back(std::move(entry));
    }
    return result;
}

ToolsWidget::MessageHook ToolsWidget::setMessageHook(MessageHook hook)
{
    MessageHook previous = std::move(messageHook());
    messageHook() = std::move(hook);
    return previous;
}

ToolsWidget::ToolsWidget(QWidget* parent)
    : QWidget(parent, Qt::Dialog)
    , ui(new Ui::ToolsWidget)
{
    initToolsResources();
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("工具"));
    setAttribute(Qt::WA_StyledBackground, true);
    loadToolsStyleSheet(this, QStringLiteral(":/Qss/ToolsWidget.qss"));

    QSize size(640, 384);
    const QWidget* owner = parent ? parent->window() : nullptr;
    if (owner && owner->width() > 0 && owner->height() > 0) {
        size = QSize(owner->width() * 4 / 5, owner->height() * 4 / 5);
    } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        if (available.width() > 0 && available.height() > 0)
            size = QSize(available.width() * 4 / 5, available.height() * 4 / 5);
    }
    resize(size);

    buildPages();
}

ToolsWidget::~ToolsWidget()
{
    if (process) {
        // Nothing of this half-destroyed window may hear from the child again.
        QProcess* child = process;
        process = nullptr;
        runningIndex = -1;
        child->disconnect(this);
        if (child->state() != QProcess::NotRunning) {
            LOGW << "Tools window destroyed while a script runs; terminating " << child->program();
            child->terminate();
            if (!child->waitForFinished(kStopWaitMs)) {
                // It ignored SIGTERM: do not leave it behind, do not wait for it either.
                LOGW << "Script did not exit within " << kStopWaitMs << " ms; killing " << child->program();
                child->kill();
                child->waitForFinished(1000);
            }
        }
        delete child;
    }
    delete ui;
}

QTabWidget* ToolsWidget::tabWidget() const
{
    return ui->tabWidget_Tools;
}

ScriptsWidget* ToolsWidget::page(int index) const
{
    if (index < 0 || index >= static_cast<int>(pages.size()))
        return nullptr;
    return pages[index];
}

bool ToolsWidget::isScriptRunning() const
{
    return process && process->state() != QProcess::NotRunning;
}

bool ToolsWidget::lastRunFailedAt(int index) const
{
    if (index < 0 || index >= static_cast<int>(lastRunFailed.size()))
        return false;
    return lastRunFailed[index];
}

void ToolsWidget::buildPages()
{
    entries = makeToolEntries(config_manager::instance().scripts_);
    const int count = static_cast<int>(entries.size());
    QTabWidget* tabs = ui->tabWidget_Tools;

    while (tabs->count() < count)
        tabs->addTab(new QWidget(tabs), QString());
    while (tabs->count() > count) {
        QWidget* surplus = tabs->widget(tabs->count() - 1);
        tabs->removeTab(tabs->count() - 1);
        delete surplus;
    }
    pages.assign(count, nullptr);
    lastRunFailed.assign(count, false);

    for (int i = 0; i < count; ++i) {
        tabs->setTabText(i, entries[i].name);
        QWidget* tab = tabs->widget(i);
        auto* layout = qobject_cast<QVBoxLayout*>(tab->layout());
        if (!layout) {
            delete tab->layout();
            layout = new QVBoxLayout(tab);
            layout->setContentsMargins(0, 0, 0, 0);
            layout->setSpacing(0);
        }
        while (QLayoutItem* item = layout->takeAt(0)) {
            delete item->widget();
            delete item;
        }
        auto* page = new ScriptsWidget(tab);
        page->setDescription(entries[i].description);
        layout->addWidget(page);
        pages[i] = page;
        connect(page, &ScriptsWidget::primaryActionRequested, this, [this, i] { onPrimaryAction(i); });
    }
    LOGI << "Tools window built with " << count << " script(s)";
    refreshRunButtons();
}

void ToolsWidget::refreshRunButtons()
{
    for (ScriptsWidget* page : pages) {
        if (!page)
            continue;
        page->setRunMode(ScriptsWidget::RunMode::Run);
        page->runButton()->setEnabled(true);
    }
    for (int i = 0; i < static_cast<int>(pages.size()); ++i) {
        ScriptsWidget* page = pages[i];
        if (!page)
            continue;
        if (i == runningIndex) {
            page->setRunMode(ScriptsWidget::RunMode::Stop);
            page->runButton()->setEnabled(!stopRequested);
            continue;
        }
        page->setRunMode(lastRunFailed[i] ? ScriptsWidget::RunMode::Retry : ScriptsWidget::RunMode::Run);
        page->runButton()->setEnabled(runningIndex < 0);
    }
}

void ToolsWidget::appendLog(int index, const QString& text)
{
    ScriptsWidget* target = page(index);
    if (!target)
        return;
    target->appendLogLine(text);
}

void ToolsWidget::onPrimaryAction(int index)
{
    if (!page(index))
        return;

    if (isScriptRunning()) {
        if (index != runningIndex) {
            showMessage(MessageKind::Information, QStringLiteral("提示"),
                        QStringLiteral("已有脚本正在运行，请先停止当前脚本。"));
            return;
        }
        if (stopRequested) {
            appendLog(index, QStringLiteral("停止请求已发送，等待脚本退出..."));
            return;
        }
        appendLog(index, QStringLiteral("收到停止请求，正在终止脚本..."));
        stopRequested = true;
        refreshRunButtons();
        LOGI << "Stopping script " << entries[index].program;
        process->terminate();
        appendLog(index, QStringLiteral("已发送终止信号，等待脚本自行退出。"));
        lastRunFailed[index] = true;
        return;
    }

    const ToolEntry& entry = entries[index];
    if (!entry.commandError.isEmpty()) {
        appendLog(index, entry.commandError);
        return;
    }
    if (showMessage(MessageKind::Question, QStringLiteral("确认执行"),
                    QStringLiteral("确认执行工具：%1 ?").arg(entry.name))
        != QMessageBox::Yes)
        return;
    // The question box ran an event loop; only one script may run at a time.
    if (process)
        return;

    if (!QFileInfo::exists(entry.program)) {
        LOGW << "Script not found: " << entry.program;
        appendLog(index, QStringLiteral("脚本不存在: %1").arg(entry.program));
        showMessage(MessageKind::Warning, QStringLiteral("错误"), QStringLiteral("未找到脚本: %1").arg(entry.program));
        return;
    }
    startScript(index);
}

void ToolsWidget::startScript(int index)
{
    const ToolEntry& entry = entries[index];
    pages[index]->clearLog();
    appendLog(index, QStringLiteral("开始执行: %1 %2").arg(entry.program, entry.arguments.join(QLatin1Char(' '))));
    LOGI << "Starting script " << entry.program << " " << entry.arguments.join(QLatin1Char(' '));

    auto* child = new QProcess(this);
    child->setProcessChannelMode(QProcess::MergedChannels);
    process = child;
    runningIndex = index;
    stopRequested = false;
    refreshRunButtons();
    // Each handler checks that the signal still comes from the current child.
    connect(child, &QProcess::readyReadStandardOutput, this, [this, child] { onProcessOutput(child); });
    connect(child, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            [this, child](int exitCode, QProcess::ExitStatus status) { onProcessFinished(child, exitCode, status); });
    connect(child, &QProcess::errorOccurred, this,
            [this, child](QProcess::ProcessError error) { onProcessError(child, error); });
    child->setProgram(entry.program);
    child->setArguments(entry.arguments);
    child->start(QIODevice::ReadWrite);

    if (child->waitForStarted(kStartWaitMs) || process != child)
        return;
    LOGW << "Script failed to start: " << entry.program << ": " << child->errorString();
    appendLog(index, QStringLiteral("启动失败。"));
    lastRunFailed[index] = true;
    stopRequested = false;
    runningIndex = -1;
    refreshRunButtons();
    dropProcess();
    showMessage(MessageKind::Warning, QStringLiteral("启动失败"), QStringLiteral("脚本无法启动。"));
}

void ToolsWidget::onProcessOutput(QProcess* source)
{
    if (source != process || runningIndex < 0)
        return;
    const QByteArray output = source->readAllStandardOutput();
    // Decoded up to the first NUL: binary noise after it is not worth showing.
    const QString text = QString::fromLocal8Bit(output.constData()).trimmed();
    if (text.isEmpty())
        return;
    LOGD << "[" << entries[runningIndex].name << "] " << text;
    appendLog(runningIndex, text);
}

void ToolsWidget::onProcessError(QProcess* source, QProcess::ProcessError error)
{
    if (source != process || runningIndex < 0)
        return;
    LOGW << "Script process error " << static_cast<int>(error) << ": " << source->errorString();
    appendLog(runningIndex, QStringLiteral("进程错误: %1").arg(static_cast<int>(error)));
}

void ToolsWidget::onProcessFinished(QProcess* source, int exitCode, QProcess::ExitStatus status)
{
    if (source != process)
        return;
    onProcessOutput(source);  // whatever is still buffered belongs before the verdict

    bool failed = false;
    if (runningIndex >= 0) {
        failed = status != QProcess::NormalExit || exitCode != 0;
        if (failed)
            appendLog(runningIndex, QStringLiteral("执行失败，退出码: %1").arg(exitCode));
        else
            appendLog(runningIndex, QStringLiteral("执行完成。"));
        lastRunFailed[runningIndex] = failed;
        LOGI << "Script " << source->program() << " finished, exit code " << exitCode
             << (status == QProcess::NormalExit ? "" : " (crashed or stopped)");
    }
    stopRequested = false;
    runningIndex = -1;
    refreshRunButtons();
    dropProcess();
    // The box comes last, with the window already idle: its event loop must
    // not see a half-finished run.
    if (failed)
        showMessage(MessageKind::Warning, QStringLiteral("执行失败"),
                    QStringLiteral("脚本执行失败，退出码: %1").arg(exitCode));
}

void ToolsWidget::dropProcess()
{
    if (!process)
        return;
    QProcess* child = process;
    process = nullptr;
    child->disconnect(this);
    child->deleteLater();
}

void ToolsWidget::showEvent(QShowEvent* event)
{
    refreshRunButtons();
    if (!isScriptRunning()) {
        for (ScriptsWidget* page : pages) {
            if (page)
                page->resetLog();
        }
    }
    QWidget::showEvent(event);
}

void ToolsWidget::closeEvent(QCloseEvent* event)
{
    if (!isScriptRunning()) {
        event->accept();
        return;
    }
    if (showMessage(MessageKind::Question, QStringLiteral("脚本仍在运行"),
                    QStringLiteral("当前脚本尚未执行完成，是否停止并关闭窗口？"))
        != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    // The finish handler may run inside the wait and drop the process.
    QPointer<QProcess> child = process;
    if (child && child->state() != QProcess::NotRunning) {
        LOGI << "Stopping script " << child->program() << " to close the tools window";
        child->terminate();
        child->waitForFinished(kStopWaitMs);
    }
    if (child && child->state() != QProcess::NotRunning) {
        showMessage(MessageKind::Warning, QStringLiteral("无法关闭"), QStringLiteral("脚本进程仍在运行，请稍后重试。"));
        event->ignore();
        return;
    }
    event->accept();
}

QMessageBox::StandardButton ToolsWidget::showMessage(MessageKind kind, const QString& title, const QString& text)
{
    // A copy: the hook may replace itself while it runs.
    const MessageHook hook = messageHook();
    if (hook)
        return hook(this, kind, title, text);
    switch (kind) {
    case MessageKind::Information:
        return QMessageBox::information(this, title, text);
    case MessageKind::Warning:
        return QMessageBox::warning(this, title, text);
    case MessageKind::Question:
        return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    }
    return QMessageBox::NoButton;
}
