#pragma once
// The tools window: one tab per maintenance script of the device
// configuration ("scripts"), each run as a child process whose merged output
// streams into its tab. One script runs at a time; everything happens on the
// GUI thread and the child is watched through QProcess's signals.

#include <functional>
#include <optional>
#include <vector>

#include <QMessageBox>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "config_manager.h"

class QTabWidget;
class ScriptsWidget;

namespace Ui {
class ToolsWidget;
}

// One usable "scripts" element, ready to start.
struct ToolEntry {
    QString name;
    QString program;
    QStringList arguments;
    QString description;
    // Why the command could not be split into words; empty when it could.
    // Such an entry keeps its tab, which says so instead of running anything.
    QString commandError;
};

// Splits a command line into words as a POSIX shell does (quotes, backslash
// escapes, variables), refusing command substitution. On failure returns
// nullopt and says why in error.
std::optional<QStringList> splitShellWords(const QString& commandLine, QString& error);

// Turns configured scripts into tool entries: names and commands trimmed, the
// command split like a shell would, a bare program name looked up in
// /usr/bin/, elements without a name or a command dropped, order kept.
std::vector<ToolEntry> makeToolEntries(const std::vector<script_entry>& scripts);

class ToolsWidget : public QWidget {
    Q_OBJECT

public:
    enum class MessageKind { Information, Warning, Question };
    // Shows a box and returns the button pressed. Tests install one that
    // answers at once, since no test may wait on a modal box.
    using MessageHook = std::function<QMessageBox::StandardButton(
        QWidget* parent, MessageKind kind, const QString& title, const QString& text)>;
    // Process-wide, GUI thread only; an empty hook restores the real boxes.
    // Returns the hook it replaces.
    static MessageHook setMessageHook(MessageHook hook);

    // Reads config_manager::instance().scripts_ and builds one tab per entry.
    explicit ToolsWidget(QWidget* parent = nullptr);
    ~ToolsWidget() override;

    const std::vector<ToolEntry>& toolEntries() const { return entries; }
    QTabWidget* tabWidget() const;
    ScriptsWidget* page(int index) const;
    int currentRunningIndex() const { return runningIndex; }
    bool isScriptRunning() const;
    bool lastRunFailedAt(int index) const;

public slots:
    // What a press of tab index's button means: stop the running script,
    // refuse while another runs, or confirm and start this one.
    void onPrimaryAction(int index);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void buildPages();
    void refreshRunButtons();
    void appendLog(int index, const QString& text);
    void startScript(int index);
    void onProcessOutput(QProcess* source);
    void onProcessError(QProcess* source, QProcess::ProcessError error);
    void onProcessFinished(QProcess* source, int exitCode, QProcess::ExitStatus status);
    // Forgets the current process: no handler hears from it again and it is
    // deleted once control is back in the event loop.
    void dropProcess();
    QMessageBox::StandardButton showMessage(MessageKind kind, const QString& title, const QString& text);

    Ui::ToolsWidget* ui;
    std::vector<ToolEntry> entries;
    std::vector<ScriptsWidget*> pages;
    std::vector<bool> lastRunFailed;
    QProcess* process = nullptr;  // Qt child of this window; null when nothing runs
    int runningIndex = -1;
    bool stopRequested = false;
};
