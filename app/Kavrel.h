#pragma once
// The terminal's single top-level window: a status header above the stack of
// the three workflow pages (scenarios, information, capture). It moves between
// the pages on their signals and loads a scenario's catalogue when one is picked.

#include <memory>

#include <QString>
#include <QStringList>
#include <QWidget>

class QPushButton;
class QLabel;
class QProcess;
class QTimer;
class DataCollectionWidget;
class RecordsWidget;
class InformationCollectionWidget;
class ScenarioSelectWidget;
class ToolsWidget;
class UploadWidget;

namespace Ui {
class Kavrel;
}

class Kavrel : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kDeviceTagsPath = "/etc/kavrel/tags.yaml";
    // How long exit waits for the save worker to report its last run, so the
    // session's meta.yaml and ledger row are written before the process ends.
    static constexpr int kExitSaveWaitMs = 10000;

    explicit Kavrel(QWidget* parent = nullptr);
    ~Kavrel() override;

    // Shows the capture page (index 2).
    void switchToDataCollectionPage();

    int currentPageIndex() const;
    ScenarioSelectWidget* scenarioPage() const;
    InformationCollectionWidget* informationPage() const;
    DataCollectionWidget* dataCollectionPage() const;
    // The tools window once the tools button has opened it, else null.
    ToolsWidget* toolsWindow() const { return toolsWindow_; }
    RecordsWidget* recordsPage() const { return recordsPage_; }
    QPushButton* recordsButton() const { return recordsButton_; }
    // The upload window once the upload button has opened it, else null.
    UploadWidget* uploadWindow() const { return uploadWindow_; }

    // The NTP state is asked again this often (the first answer comes from start-up).
    static constexpr int kNtpCheckIntervalMs = 60000;
    // Header values from the configuration and the board: machine, city,
    // address, free space and the last NTP answer.
    void refreshHeader();
    // The answer of the start-up check (until the next check answers).
    void showNtpState(bool synchronized);
    void checkNtpAgain(const QString& program = QStringLiteral("timedatectl"),
        const QStringList& arguments = {QStringLiteral("show"), QStringLiteral("-p"), QStringLiteral("NTPSynchronized"),
            QStringLiteral("--value")});

public slots:
    void onScenarioSelected(const QString& scenarioName, const QString& scenarioPath);
    void onExitAppClicked();

private slots:
    void backToScenarioSelect();
    void updateClock();
    void openToolsWindow();
    void openRecordsPage();
    void openUploadWindow();
    void onRecordingStateChanged(bool recording);

private:
    std::unique_ptr<Ui::Kavrel> ui;
    QTimer* clockTimer_ = nullptr;       // child of the window
    QTimer* ntpTimer_ = nullptr;         // child of the window
    QProcess* ntpCheck_ = nullptr;       // child of the window, while a check runs
    QLabel* freeSpaceLabel_ = nullptr;   // child of the header
    ToolsWidget* toolsWindow_ = nullptr;  // child of the window, built on first use
    QPushButton* recordsButton_ = nullptr;   // header button "记录"
    RecordsWidget* recordsPage_ = nullptr;   // last page of the stack
    int pageBeforeRecords_ = 0;
    UploadWidget* uploadWindow_ = nullptr;  // child of the window, built on first use
};
