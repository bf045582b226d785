#pragma once
// The upload page: the ledger's datasets with their state, and the commands
// to send the pending ones to the object store. Opened from the header's
// "上传" button as a window of its own.
//
// Reports arrive on upload threads; they are handed to the GUI thread
// through a mailbox that the destructor closes, so none reaches a dead page.

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include <QWidget>

#include "uploader.h"

class QProgressBar;

namespace Ui {
class UploadWidget;
}

class UploadWidget : public QWidget {
    Q_OBJECT
public:
    UploadWidget(dataset_ledger& ledger, uploader& uploads, QWidget* parent = nullptr);
    ~UploadWidget() override;

    // Re-reads the ledger; the rows of datasets in progress keep their state.
    void refreshDatasets();
    // While a recording runs the uploads pause; the page says so.
    void setRecording(bool recording);
    // A clock that NTP did not set may be far off, and the store then refuses
    // every request: the page warns before the operator starts.
    void setClockUnsynchronised(bool unsynchronised);

    // The status text of a dataset's row ("待上传", "上传中", ...); for tests.
    QString statusText(const QString& datasetName) const;

private slots:
    void on_Btn_SelectAll_clicked();
    void on_Btn_StartUpload_clicked();
    void on_Btn_CancelUpload_clicked();

private:
    struct row_state {
        int row = -1;
        uint64_t total_bytes = 0;
        uint64_t uploaded_bytes = 0;
        uint64_t sent_bytes = 0;
        bool in_progress = false;
        bool in_run = false;           // selected by the last "开始上传"
        QProgressBar* bar = nullptr;   // owned by the table
    };
    struct mailbox;

    void applyReport(const upload_info& report);
    void setRowStatus(row_state& state, const QString& text);
    void updateOverall();
    void updateCommands();

    std::unique_ptr<Ui::UploadWidget> ui;
    dataset_ledger& ledger_;
    uploader& uploads_;
    std::shared_ptr<mailbox> mailbox_;
    std::map<std::string, row_state> rows_;
    bool recording_ = false;
    bool clockUnsynchronised_ = false;
    // Bytes sent by the run at the last reports, for the current rate.
    std::deque<std::pair<std::chrono::steady_clock::time_point, uint64_t>> rateSamples_;
};
