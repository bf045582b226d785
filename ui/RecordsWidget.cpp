#include "RecordsWidget.h"

#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QListWidgetItem>
#include <QLocale>
#include <QPixmap>

#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "Log.h"
#include "file_manager.h"
#include "ui_RecordsWidget.h"

namespace {

const char* const kNotChecked = "未检查";
const char* const kNotInLedger = "未登记";

QString or_(const QString& value, const QString& fallback)
{
    return value.isEmpty() ? fallback : value;
}

} // namespace

// ---------------------------------------------------------------- list model

void SessionListModel::setSessions(
    const QString& storageRoot, const QStringList& paths, std::map<QString, QString> uploadStatus)
{
    beginResetModel();
    rows_.clear();
    indexOf_.clear();
    uploadStatus_ = std::move(uploadStatus);
    rows_.reserve(static_cast<size_t>(paths.size()));
    for (const QString& path : paths) {
        indexOf_[path] = static_cast<int>(rows_.size());
        rows_.push_back(sessionRowFromPath(storageRoot, path));
    }
    fetched_ = 0;
    endResetModel();
    if (canFetchMore({}))
        fetchMore({});
}

const SessionRow* SessionListModel::rowAt(int row) const
{
    return row >= 0 && row < fetched_ ? &rows_[static_cast<size_t>(row)] : nullptr;
}

int SessionListModel::rowOf(const QString& path) const
{
    const auto found = indexOf_.find(path);
    return found == indexOf_.end() ? -1 : found->second;
}

void SessionListModel::applyDetails(const QString& path, const SessionDetails& details)
{
    const int row = rowOf(path);
    if (row < 0)
        return;
    SessionRow& target = rows_[static_cast<size_t>(row)];
    // meta.yaml says it exactly; the folder names stand in when it cannot be read.
    target.date = or_(details.date, target.date);
    target.scene = or_(details.scene, target.scene);
    target.task = or_(details.task, target.task);
    target.part = or_(details.part, target.part);
    target.frameSets = details.frameSets;
    target.sizeBytes = details.sizeBytes;
    target.thumbnail = details.thumbnail;
    if (row < fetched_)
        emit dataChanged(index(row), index(row));
}

void SessionListModel::applyCheck(const QString& path, const session_check::SessionReport& report)
{
    const int row = rowOf(path);
    if (row < 0)
        return;
    SessionRow& target = rows_[static_cast<size_t>(row)];
    target.check = report.passed() ? SessionRow::Check::Passed : SessionRow::Check::Failed;
    target.problems = static_cast<int>(report.problems.size());
    if (row < fetched_)
        emit dataChanged(index(row), index(row));
}

void SessionListModel::removeSession(const QString& path)
{
    const int row = rowOf(path);
    if (row < 0)
        return;
    const bool shown = row < fetched_;
    if (shown)
        beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    if (shown)
        --fetched_;
    indexOf_.clear();
    for (size_t i = 0; i < rows_.size(); ++i)
        indexOf_[rows_[i].path] = static_cast<int>(i);
    if (shown)
        endRemoveRows();
}

QString SessionListModel::uploadStatusOf(const QString& relative) const
{
    const auto found = uploadStatus_.find(relative);
    return found == uploadStatus_.end() ? QString::fromUtf8(kNotInLedger) : found->second;
}

int SessionListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : fetched_;
}

bool SessionListModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && fetched_ < static_cast<int>(rows_.size());
}

void SessionListModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    const int first = fetched_;
    const int last = std::min(static_cast<int>(rows_.size()), fetched_ + kBatch) - 1;
    beginInsertRows({}, first, last);
    fetched_ = last + 1;
    endInsertRows();
    QStringList paths;
    for (int row = first; row <= last; ++row)
        paths << rows_[static_cast<size_t>(row)].path;
    emit rowsFetched(paths);
}

void SessionListModel::setNames(CatalogueNames names)
{
    names_ = std::move(names);
    if (fetched_ > 0)
        emit dataChanged(index(0), index(fetched_ - 1));
}

QString SessionListModel::rowText(const SessionRow& row) const
{
    const QString dot = QStringLiteral(" · ");
    QString check = QString::fromUtf8(kNotChecked);
    if (row.check == SessionRow::Check::Passed)
        check = QString::fromUtf8("检查通过");
    else if (row.check == SessionRow::Check::Failed)
        check = QString::fromUtf8("%1 个问题").arg(row.problems);
    const QString frameSets = row.frameSets < 0 ? QStringLiteral("…") : QString::fromUtf8("%1 组").arg(row.frameSets);
    const QString size = row.sizeBytes < 0 ? QStringLiteral("…") : QLocale::c().formattedDataSize(row.sizeBytes);
    // Three short lines rather than two long ones: they fit an 800 px panel.
    return names_.describe(row.scene, row.task, row.part) + "\n"
        + CatalogueNames::sessionTimeWords(row.sessionTime) + dot + frameSets + dot + size + "\n"
        + uploadStatusOf(row.relative) + dot + check;
}

QVariant SessionListModel::data(const QModelIndex& index, int role) const
{
    const SessionRow* row = index.isValid() ? rowAt(index.row()) : nullptr;
    if (!row)
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return rowText(*row);
    case Qt::DecorationRole:
        return row->thumbnail.isNull() ? QVariant() : QVariant(row->thumbnail);
    case Qt::ToolTipRole:
        return row->relative;
    default:
        return {};
    }
}

// ---------------------------------------------------------------- page

RecordsWidget::RecordsWidget(QWidget* parent)
    : QWidget(parent)
    , ui(new Ui::RecordsWidget)
    , model_(new SessionListModel(this))
    , files_(std::make_unique<TaskThread>())
    , checker_(std::make_unique<TaskThread>())
{
    ui->setupUi(this);
    ui->listView_Sessions->setModel(model_);
    ui->listView_Sessions->setIconSize(QSize(kThumbnailWidth, 90));
    ui->stackedWidget_Records->setCurrentWidget(ui->page_List);
    for (QPushButton* button : {ui->Btn_Back, ui->Btn_BackToList, ui->Btn_Delete})
        button->setStyleSheet(mainButtonStyle());

    connect(model_, &SessionListModel::rowsFetched, this, [this](const QStringList& paths) {
        const QString open = openFolder();
        for (const QString& path : paths) {
            files_->post([this, path] {
                SessionDetails details = loadSessionDetails(path);
                deliver([this, path, details = std::move(details)] { model_->applyDetails(path, details); });
            });
            if (const auto known = reports_.find(path); known != reports_.end())
                model_->applyCheck(path, known->second);
            else if (path != open)  // the session being recorded is still changing
                requestCheck(path);
        }
    });
    connect(ui->listView_Sessions, &QListView::clicked, this, [this](const QModelIndex& index) { openSession(index.row()); });
    // Assistive tools select a row (its cell's action) where a finger taps it:
    // a selection made without a pointer opens the session as well. A finger
    // selects on press but opens on release (clicked), so a drag that scrolls
    // the list opens nothing.
    connect(ui->listView_Sessions->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        [this](const QItemSelection& selected) {
            if (!selected.isEmpty() && QGuiApplication::mouseButtons() == Qt::NoButton)
                openSession(selected.indexes().first().row());
        });
    connect(ui->listWidget_Images, &QListWidget::currentItemChanged, this,
        [this](QListWidgetItem* item) { onImageSelected(item); });
}

RecordsWidget::~RecordsWidget()
{
    // Work still running stops early; the threads are joined before the
    // page's members go, so no result is delivered to a page that is gone.
    viewGeneration_.fetch_add(1);
    checkGeneration_.fetch_add(1);
    checker_.reset();
    files_.reset();
    delete ui;
}

void RecordsWidget::deliver(std::function<void()> apply)
{
    {
        std::lock_guard lock(resultsMutex_);
        results_.push_back(std::move(apply));
    }
    QMetaObject::invokeMethod(this, "applyResults", Qt::QueuedConnection);
}

void RecordsWidget::applyResults()
{
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard lock(resultsMutex_);
        ready.swap(results_);
    }
    for (auto& apply : ready)
        apply();
}

void RecordsWidget::requestCheck(const QString& path)
{
    const int generation = checkGeneration_.load();
    checker_->post([this, path, generation] {
        auto stale = [this, generation] { return checkGeneration_.load() != generation; };
        if (stale())
            return;
        session_check::SessionReport report = session_check::checkSessions({path.toStdString()}, 1, {}, stale).front();
        if (stale())
            return;  // incomplete: checked again when the page lists the row next time
        if (!report.passed())
            LOGW << "Session check failed: " << session_check::summaryLine(report);
        deliver([this, path, report = std::move(report)] {
            reports_[path] = report;
            model_->applyCheck(path, report);
            if (path == openPath_)
                showReport(report);
        });
    });
}

void RecordsWidget::showEvent(QShowEvent* event)
{
    // The type of the other pages, for the list and the session view alike: a
    // style rule (the main window's style sheet overrides a plain font), set
    // once shown, since one set while the main window is built does not hold.
    if (styleSheet().isEmpty())
        setStyleSheet(withFontSize(QStringLiteral("QLabel, QAbstractItemView { font-size: %1px; }")));
    QWidget::showEvent(event);
}

void RecordsWidget::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    checkGeneration_.fetch_add(1);
}

void RecordsWidget::refresh(const QString& storageRoot)
{
    storageRoot_ = storageRoot.isEmpty() ? QString::fromStdString(CollectionContext::instance().storageRoot())
                                         : storageRoot;
    if (storageRoot_.isEmpty())
        storageRoot_ = QStringLiteral(".");
    ui->label_Count->setText(QString::fromUtf8("读取中…"));
    leaveSessionView();
    files_->post([this, root = storageRoot_] {
        QStringList paths = scanSessions(root);
        CatalogueNames names = CatalogueNames::load();
        deliver([this, paths = std::move(paths), names = std::move(names)]() mutable {
            model_->setNames(std::move(names));
            onScanned(paths);
        });
    });
}

void RecordsWidget::onScanned(const QStringList& paths)
{
    std::map<QString, QString> status;
    for (const dir_info& row : ledger().records_snapshot())
        status[QString::fromStdString(row.dir_name)] = QString::fromStdString(row.status);
    model_->setSessions(storageRoot_, paths, std::move(status));
    ui->label_Count->setText(QString::fromUtf8("%1 次采集").arg(paths.size()));
    LOGD << "Records page lists " << paths.size() << " sessions below " << storageRoot_;
}

dataset_ledger& RecordsWidget::ledger() const
{
    return ledger_ ? *ledger_ : file_manager::instance().ledger();
}

void RecordsWidget::setRecording(bool recording)
{
    recording_ = recording;
    ui->Btn_Delete->setEnabled(!recording);
}

void RecordsWidget::on_Btn_Back_clicked()
{
    leaveSessionView();
    emit signalBackRequested();
}

void RecordsWidget::on_Btn_BackToList_clicked()
{
    leaveSessionView();
}

void RecordsWidget::leaveSessionView()
{
    viewGeneration_.fetch_add(1);
    openPath_.clear();
    ui->listView_Sessions->clearSelection();  // the same row can be chosen again
    ui->listWidget_Images->clear();
    ui->listWidget_Problems->clear();
    ui->label_Status->clear();
    ui->stackedWidget_Records->setCurrentWidget(ui->page_List);
}

void RecordsWidget::openSession(int row)
{
    const SessionRow* session = model_->rowAt(row);
    if (!session)
        return;
    leaveSessionView();
    openPath_ = session->path;
    const int generation = viewGeneration_.load();
    ui->label_SessionTitle->setText(model_->names().describe(session->scene, session->task, session->part) + " · "
        + CatalogueNames::sessionTimeWords(session->sessionTime));
    ui->label_Depth->setText(QString::fromUtf8("深度"));
    ui->Btn_Delete->setEnabled(!recording_);
    if (const auto known = reports_.find(openPath_); known != reports_.end()) {
        showReport(known->second);
    } else {
        ui->label_Imu->setText(QString::fromUtf8("IMU: 检查后显示"));
        ui->label_Check->setText(QString::fromUtf8(kNotChecked));
    }
    files_->post([this, path = openPath_, generation] {
        loadSessionImages(path, [this, generation] { return viewGeneration_.load() == generation; },
            [this, path, generation](SessionImage image) {
                deliver([this, path, generation, image = std::move(image)] { onImageLoaded(path, generation, image); });
            });
    });
    ui->stackedWidget_Records->setCurrentWidget(ui->page_Session);
}

void RecordsWidget::onImageLoaded(const QString& path, int generation, const SessionImage& image)
{
    if (path != openPath_ || generation != viewGeneration_.load())
        return;
    const QString name = image.colourFile.section('/', -1).section('.', 0, 0);
    auto* item = new QListWidgetItem(QIcon(QPixmap::fromImage(image.thumbnail)),
        image.tags.isEmpty() ? name : name + "\n" + image.tags.join(QStringLiteral(", ")));
    item->setData(Qt::UserRole, image.depthFile);
    ui->listWidget_Images->addItem(item);
    if (ui->listWidget_Images->count() == 1)
        ui->listWidget_Images->setCurrentItem(item);
}

void RecordsWidget::onImageSelected(QListWidgetItem* item)
{
    if (!item || openPath_.isEmpty())
        return;
    const QString depthFile = item->data(Qt::UserRole).toString();
    if (depthFile.isEmpty()) {
        ui->label_Depth->setText(QString::fromUtf8("此帧没有深度图"));
        return;
    }
    files_->post([this, path = openPath_, depthFile, generation = viewGeneration_.load()] {
        if (viewGeneration_.load() != generation)
            return;
        QImage depth = colourisedDepth(path.toStdString() + "/" + depthFile.toStdString());
        deliver([this, path, generation, depth = std::move(depth)] {
            if (path != openPath_ || generation != viewGeneration_.load())
                return;
            if (depth.isNull())
                ui->label_Depth->setText(QString::fromUtf8("深度图无法读取"));
            else
                ui->label_Depth->setPixmap(QPixmap::fromImage(depth).scaled(
                    ui->label_Depth->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        });
    });
}

void RecordsWidget::showReport(const session_check::SessionReport& report)
{
    const session_check::ImuSummary& imu = report.imu;
    if (!imu.present)
        ui->label_Imu->setText(QString::fromUtf8("IMU: 无数据"));
    else
        ui->label_Imu->setText(QString::fromUtf8("IMU %1 Hz · %2 个样本 · %3 处间断 (>50 ms) · 最长 %4 ms · %5 次暂停")
                                   .arg(imu.rateHz, 0, 'f', 1)
                                   .arg(imu.samples)
                                   .arg(imu.gaps)
                                   .arg(imu.longestGapSeconds * 1000.0, 0, 'f', 0)
                                   .arg(imu.pauses));
    ui->label_Check->setText(report.passed() ? QString::fromUtf8("检查通过")
                                             : QString::fromUtf8("%1 个问题").arg(report.problems.size()));
    ui->listWidget_Problems->clear();
    for (const std::string& line : session_check::detailLines(report))
        ui->listWidget_Problems->addItem(QString::fromStdString(line).trimmed());
}

QString RecordsWidget::refusalToDelete(const SessionRow& row) const
{
    const std::string open = openFolder().toStdString();
    const std::string path = row.path.toStdString();
    if (recording_ || (!open.empty() && (open == path || open.rfind(path + "/", 0) == 0)))
        return QString::fromUtf8("正在录制，不能删除");
    if (uploadBusy_ && uploadBusy_(row.relative.toStdString()))
        return QString::fromUtf8("正在上传，不能删除");
    return {};
}

void RecordsWidget::on_Btn_Delete_clicked()
{
    deleteOpenSession();
}

bool RecordsWidget::deleteOpenSession()
{
    const int index = model_->rowOf(openPath_);
    const SessionRow* found = model_->rowAt(index);
    if (!found)
        return false;
    const SessionRow row = *found;
    if (const QString refusal = refusalToDelete(row); !refusal.isEmpty()) {
        LOGW << "Not deleting session " << row.relative << ": " << refusal;
        ui->label_Status->setText(refusal);
        return false;
    }
    ConfirmationDialog dialog(QString::fromUtf8("删除"),
        QString::fromUtf8("删除此次采集?\n%1\n删除后无法恢复。").arg(row.relative), this);
    if (dialog.exec() != QDialog::Accepted || !dialog.confirmed_)
        return false;
    // Asked again: recording or an upload may have started while the dialog was open.
    if (const QString refusal = refusalToDelete(row); !refusal.isEmpty()) {
        ui->label_Status->setText(refusal);
        return false;
    }

    std::string error;
    if (!removeSessionFolder(storageRoot_.toStdString(), row.path.toStdString(), error)) {
        LOGE << "Failed to delete session " << row.path << ": " << error;
        ui->label_Status->setText(QString::fromUtf8("删除失败: ") + QString::fromStdString(error));
        return false;
    }
    ledger().remove_record(row.relative.toStdString());  // logs when there was no row
    LOGI << "Deleted session: " << row.path;
    reports_.erase(row.path);
    leaveSessionView();
    model_->removeSession(row.path);
    ui->label_Count->setText(QString::fromUtf8("%1 次采集").arg(model_->sessionCount()));
    emit signalSessionDeleted(row.relative);
    return true;
}
