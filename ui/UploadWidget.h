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

#include <QPushButton>
#include <QWidget>

#include "uploader.h"

class QLabel;
class QProgressBar;

// One dataset of the upload page, a finger-sized button: a tap chooses it or
// not (a filled mark and the blue of a chosen row show which), and it shows
// the session in words (scene, task, part), its time and size (never cut),
// the status and the progress; the folder on the card on request.
class UploadRow : public QPushButton {
    Q_OBJECT
public:
    explicit UploadRow(QWidget* parent = nullptr);

    void setDataset(const QString& words, const QString& when, const QString& size, const QString& path);
    void setStatus(const QString& text);
    QString status() const;
    void setProgress(int percent);
    // Completed datasets and those being sent cannot be chosen.
    void setChoosable(bool choosable);
    bool isChoosable() const { return choosable_; }
    void setChosen(bool chosen);
    bool isChosen() const { return chosen_; }
    void showPath(bool shown);

    // From the row's layout (a push button's own would measure its text only).
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    QLabel* wordsLabel() const { return words_; }
    QLabel* whenLabel() const { return when_; }
    QLabel* sizeLabel() const { return size_; }
    QLabel* pathLabel() const { return path_; }
    QProgressBar* progressBar() const { return bar_; }

private:
    void restyle();

    QLabel* mark_ = nullptr;   // children of the row
    QLabel* words_ = nullptr;
    QLabel* path_ = nullptr;
    QLabel* when_ = nullptr;
    QLabel* size_ = nullptr;
    QLabel* status_ = nullptr;
    QProgressBar* bar_ = nullptr;
    bool chosen_ = false;
    bool choosable_ = true;
};

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
    // A dataset's row, or null; for tests.
    UploadRow* rowOf(const QString& datasetName) const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private slots:
    void on_Btn_SelectAll_clicked();
    void on_Btn_StartUpload_clicked();
    void on_Btn_CancelUpload_clicked();
    void on_Btn_ShowPath_toggled(bool shown);

private:
    struct row_state {
        uint64_t total_bytes = 0;
        uint64_t uploaded_bytes = 0;
        uint64_t sent_bytes = 0;
        bool in_progress = false;
        bool in_run = false;           // selected by the last "开始上传"
        UploadRow* row = nullptr;      // owned by the list
    };
    struct mailbox;

    void applyReport(const upload_info& report);
    void fitRowHeights();
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
