#pragma once
// The records page: the sessions on the storage card, newest first, each row
// with date, scene, task, part, session time, frame sets, size, upload status,
// check result and a thumbnail; a tap opens the session view (image grid with
// tags, colourised depth of the selected frame, IMU rate and gaps) with "删除".
//
// Rows are added to the list in batches as the operator scrolls; their details,
// thumbnails and checks are made on two threads of the page (one for files and
// pictures, one for checks), so 1,000 sessions keep the list responsive.
// Results come back through a locked queue and one queued call.

#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QAbstractListModel>
#include <QWidget>

#include "CatalogueNames.h"
#include "SessionRecords.h"
#include "WidgetUtils.h"

class dataset_ledger;
class QHideEvent;
class QShowEvent;
class QListWidgetItem;

namespace Ui {
class RecordsWidget;
}

class SessionListModel : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int kBatch = 40;

    using QAbstractListModel::QAbstractListModel;

    // Replaces every row; only the first batch is shown until more is fetched.
    void setSessions(const QString& storageRoot, const QStringList& paths, std::map<QString, QString> uploadStatus);
    // The catalogue's names for the labels the sessions carry.
    void setNames(CatalogueNames names);
    const CatalogueNames& names() const { return names_; }
    int sessionCount() const { return static_cast<int>(rows_.size()); }
    const SessionRow* rowAt(int row) const;
    int rowOf(const QString& path) const;
    void applyDetails(const QString& path, const SessionDetails& details);
    void applyCheck(const QString& path, const session_check::SessionReport& report);
    void removeSession(const QString& path);
    QString uploadStatusOf(const QString& relative) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

signals:
    // Rows that became visible and need their details and check.
    void rowsFetched(const QStringList& paths);

private:
    QString rowText(const SessionRow& row) const;

    std::vector<SessionRow> rows_;
    std::map<QString, int> indexOf_;
    std::map<QString, QString> uploadStatus_;  // relative folder -> ledger status
    CatalogueNames names_;
    int fetched_ = 0;
};

class RecordsWidget : public QWidget, public WidgetUtils {
    Q_OBJECT
public:
    explicit RecordsWidget(QWidget* parent = nullptr);
    ~RecordsWidget() override;

    // The ledger whose rows give the upload status and lose a deleted
    // session's row; the process-wide one unless a test sets its own.
    void setLedger(dataset_ledger* ledger) { ledger_ = ledger; }
    // Tells whether the uploader is working on a session (its path below the
    // storage root); such a session is not deleted. The uploader cannot be
    // asked yet, so until this is set nothing counts as uploading.
    void setUploadBusyCheck(std::function<bool(const std::string&)> check) { uploadBusy_ = std::move(check); }
    // Names the capture side's open session folder (empty: none). That session
    // still changes: it is neither checked nor deleted. Unset: none is open.
    void setOpenFolderSource(std::function<QString()> source) { openFolder_ = std::move(source); }

    // Lists the sessions below storageRoot again (the context's when empty).
    void refresh(const QString& storageRoot = {});
    SessionListModel* model() const { return model_; }
    QString storageRoot() const { return storageRoot_; }

    void openSession(int row);
    QString openSessionPath() const { return openPath_; }
    // Asks for confirmation and deletes the open session; false when it was
    // refused (recording, uploading, not confirmed) or failed.
    bool deleteOpenSession();

    Ui::RecordsWidget* ui = nullptr;

public slots:
    // From the capture page: no deletion while a session is being recorded.
    void setRecording(bool recording);
    void on_Btn_Back_clicked();
    void on_Btn_BackToList_clicked();
    void on_Btn_Delete_clicked();

signals:
    void signalBackRequested();
    void signalSessionDeleted(const QString& relative);

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private slots:
    // Runs, on the GUI thread, the results the worker threads delivered.
    void applyResults();

private:
    // Called on a worker thread: apply runs on the GUI thread soon after.
    void deliver(std::function<void()> apply);
    void requestCheck(const QString& path);
    void onScanned(const QStringList& paths);
    void onImageLoaded(const QString& path, int generation, const SessionImage& image);
    void onImageSelected(QListWidgetItem* item);
    void showReport(const session_check::SessionReport& report);
    QString refusalToDelete(const SessionRow& row) const;
    QString openFolder() const { return openFolder_ ? openFolder_() : QString(); }
    dataset_ledger& ledger() const;
    void leaveSessionView();

    SessionListModel* model_ = nullptr;
    dataset_ledger* ledger_ = nullptr;
    std::function<bool(const std::string&)> uploadBusy_;
    std::function<QString()> openFolder_;
    bool recording_ = false;
    QString storageRoot_;
    QString openPath_;
    std::map<QString, session_check::SessionReport> reports_;  // by session path

    // Bumped when the session view is left: its image loads stop early.
    std::atomic<int> viewGeneration_{0};
    // Bumped when the page is hidden: checks asked for earlier are dropped,
    // and one running stops, so they never compete with a recording.
    std::atomic<int> checkGeneration_{0};
    std::mutex resultsMutex_;
    std::deque<std::function<void()>> results_;  // guarded by resultsMutex_

    // Declared last, destroyed first: joined before anything they use goes.
    std::unique_ptr<TaskThread> files_;    // listing, details, thumbnails, depth
    std::unique_ptr<TaskThread> checker_;  // checks, one session at a time
};
