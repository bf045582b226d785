#include "UploadWidget.h"

#include <algorithm>
#include <mutex>

#include <QDateTime>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QProgressBar>
#include <QScreen>
#include <QVBoxLayout>

#include "CatalogueNames.h"
#include "Log.h"
#include "PostToThread.h"
#include "SessionRecords.h"
#include "WidgetUtils.h"
#include "ui_UploadWidget.h"

namespace {

const char* const kStatusUploading = "上传中";
const char* const kStatusFailed = "上传失败";

// As the records page shows sizes: a small dataset is not "0.0 MB".
QString sizeText(uint64_t bytes)
{
    return QLocale::c().formattedDataSize(static_cast<qint64>(bytes));
}

int percentOf(uint64_t done, uint64_t total)
{
    return total == 0 ? 100 : static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
}

// The row styles: "%1" the font size, "%2" the progress text's size. Plain
// and chosen rows take the colours of the information page's list rows.
const char* const kRowStyle =
    "UploadRow { background-color: #E5E7EB; border: 1px solid #D1D5DB; border-radius: 8px; }"
    "UploadRow:pressed { background-color: #D1D5DB; }"
    "QLabel { color: #374151; background: transparent; font-size: %1px; }"
    "QLabel#label_Words { font-weight: 600; color: #111827; }"
    "QLabel#label_Mark { border: 3px solid #6B7280; border-radius: 6px; background: #FFFFFF; }"
    "QProgressBar { border: 1px solid #9CA3AF; border-radius: 4px; background: #FFFFFF; color: #111827;"
    " text-align: center; font-size: %2px; }"
    "QProgressBar::chunk { background-color: #10B981; }";
const char* const kChosenRowStyle =
    "UploadRow { background-color: #2D7FFF; border: 1px solid #1F64D1; border-radius: 8px; }"
    "UploadRow:pressed { background-color: #1F64D1; }"
    "QLabel { color: #FFFFFF; background: transparent; font-size: %1px; }"
    "QLabel#label_Words { font-weight: 600; }"
    "QLabel#label_Mark { border: 3px solid #FFFFFF; border-radius: 6px; background: #FFFFFF; color: #2D7FFF;"
    " font-weight: 700; }"
    "QProgressBar { border: 1px solid #FFFFFF; border-radius: 4px; background: #FFFFFF; color: #111827;"
    " text-align: center; font-size: %2px; }"
    "QProgressBar::chunk { background-color: #10B981; }";

// The session in words and its time, from the ledger row's folder
// (<date>-<city>-<scene>/<task>[/<part>]/<session time>); a folder of another
// shape is shown as it is.
struct DatasetWords {
    QString words;
    QString when;
};

DatasetWords datasetWords(const CatalogueNames& names, const dir_info& record)
{
    const QString path = QString::fromStdString(record.dir_name);
    const SessionRow session = sessionRowFromPath(QString(), path);
    DatasetWords out;
    if (path.count(QLatin1Char('/')) >= 2 && !session.scene.isEmpty())
        out.words = names.describe(session.scene, session.task, session.part);
    if (out.words.isEmpty())
        out.words = path;
    out.when = CatalogueNames::sessionTimeWords(session.sessionTime);
    if (out.when == session.sessionTime)  // not a session folder: when the row was made
        out.when = QDateTime::fromSecsSinceEpoch(record.creat_date).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    return out;
}

} // namespace

UploadRow::UploadRow(QWidget* parent) : QPushButton(parent)
{
    setObjectName(QStringLiteral("uploadRow"));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    const int font = WidgetUtils::fontSizePx();
    auto label = [this](const char* name) {
        auto* l = new QLabel(this);
        l->setObjectName(QString::fromLatin1(name));
        return l;
    };
    mark_ = label("label_Mark");
    mark_->setFixedSize(font, font);
    mark_->setAlignment(Qt::AlignCenter);
    QSizePolicy keepPlace = mark_->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);  // rows line up whether or not they can be chosen
    mark_->setSizePolicy(keepPlace);
    words_ = label("label_Words");
    // A long name is cut at the row's end; the time and size beside it never are.
    words_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    path_ = label("label_Path");
    path_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    path_->hide();
    when_ = label("label_When");
    size_ = label("label_Size");
    status_ = label("label_Status");
    status_->setWordWrap(true);
    status_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("progressBar_Row"));
    // Status and progress share a column about six characters wide.
    for (QWidget* w : {static_cast<QWidget*>(status_), static_cast<QWidget*>(bar_)})
        w->setFixedWidth(font * 6);
    bar_->setFixedHeight(std::max(16, font * 3 / 4));

    auto* facts = new QHBoxLayout;
    facts->setSpacing(font);
    facts->addWidget(when_);
    facts->addWidget(size_);
    facts->addStretch();
    auto* text = new QVBoxLayout;
    text->setSpacing(2);
    text->addWidget(words_);
    text->addWidget(path_);
    text->addLayout(facts);
    auto* progress = new QVBoxLayout;
    progress->setSpacing(4);
    progress->addWidget(status_);
    progress->addWidget(bar_);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(12, 8, 12, 8);
    layout->setSpacing(12);
    layout->addWidget(mark_);
    layout->addLayout(text, 1);
    layout->addLayout(progress);
    // Taps land on the row, whatever part of it is hit.
    for (QWidget* child : findChildren<QWidget*>())
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(this, &QPushButton::clicked, this, [this] { setChosen(!chosen_); });
    restyle();
}

void UploadRow::setDataset(const QString& words, const QString& when, const QString& size, const QString& path)
{
    words_->setText(words);
    words_->setToolTip(words);
    when_->setText(when);
    size_->setText(size);
    path_->setText(path);
    // What assistive tools read out for the row.
    setAccessibleName(words + QStringLiteral(" · ") + when);
}

void UploadRow::setStatus(const QString& text)
{
    status_->setText(text);
}

QString UploadRow::status() const
{
    return status_->text();
}

void UploadRow::setProgress(int percent)
{
    bar_->setValue(percent);
}

void UploadRow::setChoosable(bool choosable)
{
    choosable_ = choosable;
    mark_->setVisible(choosable);
    if (!choosable)
        setChosen(false);
}

void UploadRow::setChosen(bool chosen)
{
    chosen = chosen && choosable_;
    if (chosen == chosen_)
        return;
    chosen_ = chosen;
    restyle();
}

QSize UploadRow::sizeHint() const
{
    return layout()->sizeHint();
}

QSize UploadRow::minimumSizeHint() const
{
    return layout()->minimumSize();
}

void UploadRow::showPath(bool shown)
{
    path_->setVisible(shown);
}

void UploadRow::restyle()
{
    const int font = WidgetUtils::fontSizePx();
    mark_->setText(chosen_ ? QString::fromUtf8("✓") : QString());
    setStyleSheet(QString::fromLatin1(chosen_ ? kChosenRowStyle : kRowStyle).arg(font).arg(std::max(12, font * 2 / 3)));
}

// The one road from upload threads to the page: post while the page lives.
struct UploadWidget::mailbox {
    std::mutex mutex;
    UploadWidget* page = nullptr;   // guarded by mutex; null once the page is gone

    void post(upload_info report)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!page)
            return;
        UploadWidget* target = page;
        // Queued to the GUI thread; Qt drops it if the page dies first.
        postToThread(target, [target, report = std::move(report)] { target->applyReport(report); });
    }
};

UploadWidget::UploadWidget(dataset_ledger& ledger, uploader& uploads, QWidget* parent)
    : QWidget(parent, Qt::Dialog)
    , ui(std::make_unique<Ui::UploadWidget>())
    , ledger_(ledger)
    , uploads_(uploads)
    , mailbox_(std::make_shared<mailbox>())
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("上传"));
    mailbox_->page = this;
    const QString buttonStyle = WidgetUtils::mainButtonStyle();
    for (QPushButton* button :
        {ui->Btn_SelectAll, ui->Btn_StartUpload, ui->Btn_CancelUpload, ui->Btn_ShowPath, ui->Btn_Close}) {
        button->setStyleSheet(buttonStyle);
        button->setCursor(Qt::PointingHandCursor);
    }
    // The type of the other pages for the state line (the rows style their own).
    setStyleSheet(WidgetUtils::withFontSize(QStringLiteral("QLabel { font-size: %1px; }")));
    // A window of its own, as large as the terminal's: it must fit the panel.
    const QWidget* top = parent ? parent->window() : nullptr;
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QRect area = top && top->width() > 0 ? top->geometry() : screen ? screen->availableGeometry() : QRect();
    if (area.isValid())
        setGeometry(area);
    refreshDatasets();
}

UploadWidget::~UploadWidget()
{
    std::lock_guard<std::mutex> lock(mailbox_->mutex);
    mailbox_->page = nullptr;
}

void UploadWidget::refreshDatasets()
{
    QListWidget* list = ui->listWidget_Datasets;
    const auto records = ledger_.records_snapshot();
    const CatalogueNames names = CatalogueNames::load();
    std::map<std::string, row_state> previous;
    previous.swap(rows_);
    std::map<std::string, bool> chosen;
    for (const auto& [name, state] : previous)
        chosen[name] = state.row && state.row->isChosen();
    list->clear();
    for (const dir_info& record : records) {
        row_state state;
        state.total_bytes = static_cast<uint64_t>(record.size);
        const auto before = previous.find(record.dir_name);
        if (before != previous.end() && before->second.in_progress)
            state = before->second;
        const bool completed = record.status == kStatusCompleted;
        const DatasetWords words = datasetWords(names, record);
        state.row = new UploadRow;
        state.row->setDataset(words.words, words.when, sizeText(static_cast<uint64_t>(record.size)),
            QString::fromStdString(record.dir_name));
        state.row->setChoosable(!completed && !state.in_progress);
        state.row->setChosen(chosen[record.dir_name]);
        state.row->showPath(ui->Btn_ShowPath->isChecked());
        state.row->setProgress(completed ? 100 : percentOf(state.uploaded_bytes, state.total_bytes));
        state.row->setStatus(QString::fromStdString(state.in_progress ? kStatusUploading : record.status));
        addListRow(list, state.row, state.row->sizeHint().height());
        rows_[record.dir_name] = state;
    }
    fitRowHeights();
    updateCommands();
}

void UploadWidget::setRowStatus(row_state& state, const QString& text)
{
    state.row->setStatus(text);
    fitRowHeights();
}

void UploadWidget::fitRowHeights()
{
    // Rows grow for a wrapped status or the path line, at the list's width.
    QListWidget* list = ui->listWidget_Datasets;
    const int width = list->viewport()->width() - 2 * list->spacing();
    for (int i = 0; i < list->count(); ++i) {
        QWidget* row = list->itemWidget(list->item(i));
        QLayout* layout = row ? row->layout() : nullptr;
        if (!layout)
            continue;
        const int height = layout->hasHeightForWidth() ? layout->totalHeightForWidth(width)
                                                       : layout->totalSizeHint().height();
        row->setMinimumHeight(height);
        list->item(i)->setSizeHint(QSize(0, height));
    }
}

void UploadWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    fitRowHeights();
}

void UploadWidget::on_Btn_ShowPath_toggled(bool shown)
{
    for (auto& entry : rows_)
        entry.second.row->showPath(shown);
    fitRowHeights();
}

QString UploadWidget::statusText(const QString& datasetName) const
{
    const UploadRow* row = rowOf(datasetName);
    return row ? row->status() : QString();
}

UploadRow* UploadWidget::rowOf(const QString& datasetName) const
{
    const auto found = rows_.find(datasetName.toStdString());
    return found == rows_.end() ? nullptr : found->second.row;
}

void UploadWidget::setRecording(bool recording)
{
    recording_ = recording;
    updateCommands();
}

void UploadWidget::setClockUnsynchronised(bool unsynchronised)
{
    clockUnsynchronised_ = unsynchronised;
    updateCommands();
}

void UploadWidget::updateCommands()
{
    const bool enabled = uploads_.enabled();
    const bool busy = std::any_of(rows_.begin(), rows_.end(), [](const auto& row) { return row.second.in_progress; });
    if (!enabled)
        ui->label_UploadState->setText(QStringLiteral("上传已关闭：") + QString::fromStdString(uploads_.off_reason()));
    else if (recording_)
        ui->label_UploadState->setText(QStringLiteral("正在采集，上传已暂停"));
    else
        ui->label_UploadState->setText((busy ? QStringLiteral("正在上传") : QStringLiteral("选择待上传的数据集")) +
            (clockUnsynchronised_ ? QStringLiteral("（设备时间未经 NTP 同步，时间不准时上传会失败）") : QString()));
    ui->Btn_StartUpload->setEnabled(enabled && !busy);
    ui->Btn_SelectAll->setEnabled(enabled && !busy);
    ui->Btn_CancelUpload->setEnabled(busy);
}

void UploadWidget::on_Btn_SelectAll_clicked()
{
    for (auto& entry : rows_)
        entry.second.row->setChosen(true);  // rows that cannot be chosen stay as they are
}

void UploadWidget::on_Btn_StartUpload_clicked()
{
    rateSamples_.clear();
    for (auto& entry : rows_)
        entry.second.in_run = false;
    for (auto& [name, state] : rows_) {
        if (!state.row->isChosen())
            continue;
        std::weak_ptr<mailbox> box = mailbox_;
        const bool queued = uploads_.submit_upload({[box](upload_info report) {
            if (auto alive = box.lock())
                alive->post(std::move(report));
        }, name});
        if (!queued)
            continue;
        state.in_progress = true;
        state.in_run = true;
        state.uploaded_bytes = 0;
        state.sent_bytes = 0;
        state.row->setChoosable(false);
        state.row->setProgress(0);
        setRowStatus(state, QString::fromUtf8(kStatusUploading));
    }
    updateOverall();
    updateCommands();
}

void UploadWidget::on_Btn_CancelUpload_clicked()
{
    uploads_.cancel_all();
}

void UploadWidget::applyReport(const upload_info& report)
{
    const auto found = rows_.find(report.dataset_name);
    if (found == rows_.end())
        return;
    row_state& state = found->second;
    state.total_bytes = report.total_bytes;
    state.uploaded_bytes = report.uploaded_bytes;
    state.sent_bytes = report.sent_bytes;
    state.row->setProgress(report.finished ? 100 : percentOf(report.uploaded_bytes, report.total_bytes));
    if (report.last) {
        state.in_progress = false;
        // A dataset that did not complete can be chosen again.
        state.row->setChoosable(!report.finished);
        if (report.finished) {
            setRowStatus(state, QString::fromUtf8(kStatusCompleted));
        } else {
            // The ledger keeps the row pending; the page says why it stopped.
            const QString reason = QString::fromUtf8(failure_text(report.failure));
            setRowStatus(state, QString::fromUtf8(report.failure == upload_failure::cancelled ? kStatusWaitingUpload
                                                                                              : kStatusFailed) +
                    (reason.isEmpty() ? QString() : QStringLiteral("：") + reason));
        }
    }
    updateOverall();
    updateCommands();
}

void UploadWidget::updateOverall()
{
    uint64_t total = 0;
    uint64_t done = 0;
    uint64_t sent = 0;
    for (const auto& [name, state] : rows_) {
        if (!state.in_run)
            continue;
        total += state.total_bytes;
        done += state.uploaded_bytes;
        sent += state.sent_bytes;
    }
    ui->progressBar_Overall->setValue(percentOf(done, total));
    // The rate of the last seconds, from the bytes sent: files already in the
    // store count at once and say nothing of the link (or of its cap).
    const auto now = std::chrono::steady_clock::now();
    rateSamples_.emplace_back(now, sent);
    while (rateSamples_.size() > 2 && now - rateSamples_[1].first > std::chrono::seconds(5))
        rateSamples_.pop_front();
    const double seconds = std::chrono::duration<double>(now - rateSamples_.front().first).count();
    const uint64_t sent_then = rateSamples_.front().second;
    const double rate = seconds > 0.5 && sent > sent_then ? static_cast<double>(sent - sent_then) / seconds : 0.0;
    if (rate <= 0.0 || done >= total) {
        ui->label_Speed->clear();
        return;
    }
    const auto left = static_cast<qint64>(static_cast<double>(total - done) / rate);
    const QString leftText = left < 60 ? QStringLiteral("%1 秒").arg(left)
        : left < 3600 ? QStringLiteral("%1 分 %2 秒").arg(left / 60).arg(left % 60)
                      : QStringLiteral("%1 小时 %2 分").arg(left / 3600).arg(left % 3600 / 60);
    ui->label_Speed->setText(QStringLiteral("%1 Mbit/s，剩余 %2").arg(rate * 8e-6, 0, 'f', 1).arg(leftText));
}
