#include "UploadWidget.h"

#include <mutex>

#include <QDateTime>
#include <QHeaderView>
#include <QMetaObject>
#include <QProgressBar>
#include <QTableWidgetItem>

#include "Log.h"
#include "WidgetUtils.h"
#include "ui_UploadWidget.h"

namespace {

enum Column { kName, kDate, kSize, kStatus, kProgress };

const char* const kStatusUploading = "上传中";
const char* const kStatusFailed = "上传失败";
constexpr double kMiB = 1024.0 * 1024.0;

QString sizeText(uint64_t bytes)
{
    return QString::number(static_cast<double>(bytes) / kMiB, 'f', 1) + QStringLiteral(" MB");
}

int percentOf(uint64_t done, uint64_t total)
{
    return total == 0 ? 100 : static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
}

} // namespace

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
        QMetaObject::invokeMethod(target, [target, report = std::move(report)] { target->applyReport(report); },
            Qt::QueuedConnection);
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
    for (QPushButton* button : {ui->Btn_SelectAll, ui->Btn_StartUpload, ui->Btn_CancelUpload, ui->Btn_Close}) {
        button->setStyleSheet(buttonStyle);
        button->setCursor(Qt::PointingHandCursor);
    }
    ui->tableWidget_Datasets->horizontalHeader()->setSectionResizeMode(kName, QHeaderView::Stretch);
    ui->tableWidget_Datasets->verticalHeader()->setVisible(false);
    refreshDatasets();
}

UploadWidget::~UploadWidget()
{
    std::lock_guard<std::mutex> lock(mailbox_->mutex);
    mailbox_->page = nullptr;
}

void UploadWidget::refreshDatasets()
{
    QTableWidget* table = ui->tableWidget_Datasets;
    const auto records = ledger_.records_snapshot();
    std::map<std::string, row_state> previous;
    previous.swap(rows_);
    table->setRowCount(static_cast<int>(records.size()));
    for (int i = 0; i < static_cast<int>(records.size()); ++i) {
        const dir_info& record = records[static_cast<std::size_t>(i)];
        auto* name = new QTableWidgetItem(QString::fromStdString(record.dir_name));
        const bool pending = record.status != kStatusCompleted;
        name->setFlags(pending ? Qt::ItemIsEnabled | Qt::ItemIsUserCheckable : Qt::ItemIsEnabled);
        if (pending)
            name->setCheckState(Qt::Unchecked);
        table->setItem(i, kName, name);
        table->setItem(i, kDate, new QTableWidgetItem(
            QDateTime::fromSecsSinceEpoch(record.creat_date).toString(QStringLiteral("yyyy-MM-dd HH:mm"))));
        table->setItem(i, kSize, new QTableWidgetItem(sizeText(static_cast<uint64_t>(record.size))));

        row_state state;
        state.total_bytes = static_cast<uint64_t>(record.size);
        const auto before = previous.find(record.dir_name);
        if (before != previous.end() && before->second.in_progress)
            state = before->second;
        state.row = i;
        state.bar = new QProgressBar;
        state.bar->setValue(record.status == kStatusCompleted ? 100 : percentOf(state.uploaded_bytes, state.total_bytes));
        table->setCellWidget(i, kProgress, state.bar);
        rows_[record.dir_name] = state;
        setRowStatus(rows_[record.dir_name], QString::fromStdString(state.in_progress ? kStatusUploading : record.status));
    }
    updateCommands();
}

void UploadWidget::setRowStatus(row_state& state, const QString& text)
{
    ui->tableWidget_Datasets->setItem(state.row, kStatus, new QTableWidgetItem(text));
}

QString UploadWidget::statusText(const QString& datasetName) const
{
    const auto found = rows_.find(datasetName.toStdString());
    if (found == rows_.end())
        return {};
    const QTableWidgetItem* item = ui->tableWidget_Datasets->item(found->second.row, kStatus);
    return item ? item->text() : QString();
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
    QTableWidget* table = ui->tableWidget_Datasets;
    for (int i = 0; i < table->rowCount(); ++i) {
        QTableWidgetItem* name = table->item(i, kName);
        if (name && (name->flags() & Qt::ItemIsUserCheckable))
            name->setCheckState(Qt::Checked);
    }
}

void UploadWidget::on_Btn_StartUpload_clicked()
{
    QTableWidget* table = ui->tableWidget_Datasets;
    rateSamples_.clear();
    for (auto& entry : rows_)
        entry.second.in_run = false;
    for (auto& [name, state] : rows_) {
        const QTableWidgetItem* item = table->item(state.row, kName);
        if (!item || !(item->flags() & Qt::ItemIsUserCheckable) || item->checkState() != Qt::Checked)
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
        state.bar->setValue(0);
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
    state.bar->setValue(report.finished ? 100 : percentOf(report.uploaded_bytes, report.total_bytes));
    if (report.last) {
        state.in_progress = false;
        if (report.finished) {
            setRowStatus(state, QString::fromUtf8(kStatusCompleted));
            if (QTableWidgetItem* name = ui->tableWidget_Datasets->item(state.row, kName))
                name->setFlags(Qt::ItemIsEnabled);
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
