#pragma once
// One page of the tools window: the description of a maintenance script, the
// log area its output streams into and the run/stop/retry button. The page
// only shows things; the tools window decides what a press means.

#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;
class QTextEdit;

namespace Ui {
class ScriptsWidget;
}

class ScriptsWidget : public QWidget {
    Q_OBJECT

public:
    // What the run button offers; the value names the "mode" property the
    // style sheet colours the button by.
    enum class RunMode { Run = 0, Stop = 1, Retry = 2 };

    explicit ScriptsWidget(QWidget* parent = nullptr);
    ~ScriptsWidget() override;

    // Sets descriptionText and shows it in the description label and the log area.
    void setDescription(const QString& text);

    // Text, "mode" property and a re-polish so the style sheet follows.
    void setRunMode(RunMode mode);
    RunMode runMode() const { return mode_; }

    // Appends "[HH:mm:ss] text" as a new paragraph, as plain text.
    void appendLogLine(const QString& text);
    void clearLog();
    // Puts the description back into the log area.
    void resetLog();

    QPushButton* runButton() const;
    QTextEdit* logView() const;
    QLabel* descriptionLabel() const;

    QString descriptionText;

signals:
    void primaryActionRequested();

private:
    Ui::ScriptsWidget* ui;
    RunMode mode_ = RunMode::Run;
};

// Reads a style sheet (normally a resource) into widget; on failure logs
// "Failed to load stylesheet:<path>" and leaves the widget as it is.
bool loadToolsStyleSheet(QWidget* widget, const QString& path);
