#include "ScriptsWidget.h"

#include <QDateTime>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QStyle>
#include <QTextCursor>
#include <QTextEdit>

#include "Log.h"
#include "ui_ScriptsWidget.h"

namespace {
constexpr int kMaxLogBlocks = 20000;
}

bool loadToolsStyleSheet(QWidget* widget, const QString& path)
{
    if (!widget)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        LOGE << "Failed to load stylesheet:" << path;
        return false;
    }
    const QByteArray bytes = file.readAll();
    // Decoded up to the first NUL, as a text file would be read.
    widget->setStyleSheet(QString::fromLatin1(bytes.constData()));
    return true;
}

ScriptsWidget::ScriptsWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::ScriptsWidget)
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("ScriptsWidget"));
    // A plain QWidget subclass paints its style-sheet background only with this.
    setAttribute(Qt::WA_StyledBackground, true);
    ui->stackedWidget_ScriptContent->setCurrentWidget(ui->page_ScriptLog);
    // A chatty script may run for hours; the oldest lines give way so the
    // window stays responsive; the process log keeps every line.
    ui->textEdit_ScriptLogOutput->document()->setMaximumBlockCount(kMaxLogBlocks);
    loadToolsStyleSheet(this, QStringLiteral(":/Qss/ScriptsWidget.qss"));
    setRunMode(RunMode::Run);
    connect(ui->btn_RunScriptTool, &QPushButton::clicked, this, &ScriptsWidget::primaryActionRequested);
}

ScriptsWidget::~ScriptsWidget()
{
    delete ui;
}

void ScriptsWidget::setDescription(const QString& text)
{
    descriptionText = text;
    ui->label_ScriptToolDesc->setText(text);
    ui->textEdit_ScriptLogOutput->setPlainText(text);
}

void ScriptsWidget::setRunMode(RunMode mode)
{
    mode_ = mode;
    QPushButton* button = ui->btn_RunScriptTool;
    switch (mode) {
    case RunMode::Run:
        button->setText(QStringLiteral("运行"));
        button->setProperty("mode", QStringLiteral("run"));
        break;
    case RunMode::Stop:
        button->setText(QStringLiteral("停止"));
        button->setProperty("mode", QStringLiteral("stop"));
        break;
    case RunMode::Retry:
        button->setText(QStringLiteral("再次运行"));
        button->setProperty("mode", QStringLiteral("retry"));
        break;
    }
    // Property selectors are evaluated at polish time only.
    button->style()->unpolish(button);
    button->style()->polish(button);
    button->update();
}

void ScriptsWidget::appendLogLine(const QString& text)
{
    QTextEdit* log = ui->textEdit_ScriptLogOutput;
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("[HH:mm:ss] ")) + text;
    // Inserted through a cursor as plain text: script output that looks like
    // HTML must show as written, not be rendered.
    QTextCursor cursor(log->document());
    cursor.movePosition(QTextCursor::End);
    if (!log->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    QScrollBar* bar = log->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void ScriptsWidget::clearLog()
{
    ui->textEdit_ScriptLogOutput->clear();
}

void ScriptsWidget::resetLog()
{
    ui->textEdit_ScriptLogOutput->setPlainText(descriptionText);
}

QPushButton* ScriptsWidget::runButton() const
{
    return ui->btn_RunScriptTool;
}

QTextEdit* ScriptsWidget::logView() const
{
    return ui->textEdit_ScriptLogOutput;
}

QLabel* ScriptsWidget::descriptionLabel() const
{
    return ui->label_ScriptToolDesc;
}
