#include "Kavrel.h"

#include <vector>

#include <QCoreApplication>
#include <algorithm>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

#include "CaptureSession.h"
#include "CollectionContext.h"
#include "DataCollectionWidget.h"
#include "HeaderStatus.h"
#include "InformationCollectionWidget.h"
#include "Log.h"
#include "RecordsWidget.h"
#include "SaveFiles.h"
#include "ScenarioSelectWidget.h"
#include "Startup.h"
#include "ToolsWidget.h"
#include "UploadWidget.h"
#include "file_manager.h"
#include "WidgetUtils.h"
#include "config_manager.h"
#include "ui_Kavrel.h"

namespace {

constexpr int kScenarioPage = 0;
constexpr int kInformationPage = 1;
constexpr int kDataCollectionPage = 2;
constexpr int kClockIntervalMs = 1000;

} // namespace

Kavrel::Kavrel(QWidget* parent) : QWidget(parent), ui(std::make_unique<Ui::Kavrel>())
{
    // Builds the three pages; the scenario page scans for scenario files here.
    ui->setupUi(this);
    setStyleSheet(WidgetUtils::scaledToScreen(styleSheet()));  // the header's sizes, for this screen

    // Four header buttons beside the status labels must fit an 800 px panel:
    // they take half the font size and less padding, and the status labels
    // (minimum width 1 in the form) give way before a button leaves the screen.
    const QString buttonStyle = WidgetUtils::mainButtonStyleTemplate()
                                    .arg(std::max(16, WidgetUtils::fontSizePx() / 2))
                                    .replace(QLatin1String("padding: 10px;"), QLatin1String("padding: 6px 8px;"));
    ui->Btn_ExitApp->setStyleSheet(buttonStyle);
    ui->toolButton->setStyleSheet(QString(buttonStyle).replace(QLatin1String("QPushButton"),
                                                               QLatin1String("QToolButton")));
    ui->Btn_ExitApp->setCursor(Qt::PointingHandCursor);
    ui->Btn_Upload->setStyleSheet(buttonStyle);
    ui->Btn_Upload->setCursor(Qt::PointingHandCursor);
    ui->toolButton->setCursor(Qt::PointingHandCursor);

    connect(ui->page_ScaenarioSelectWidget, &ScenarioSelectWidget::signalScenarioSelected, this,
            &Kavrel::onScenarioSelected);
    connect(ui->page_InformationCollectionWidget,
            &InformationCollectionWidget::signalBackToScenarioSelectRequested, this, &Kavrel::backToScenarioSelect);
    connect(ui->page_InformationCollectionWidget,
            &InformationCollectionWidget::signalEnterDataCollectionRequested, this,
            &Kavrel::switchToDataCollectionPage);
    connect(ui->page_DataCollectionWidget, &DataCollectionWidget::signalBackToInformationRequested, this, [this] {
        if (ui->stackedWidget->currentIndex() != kInformationPage)
            ui->stackedWidget->setCurrentIndex(kInformationPage);
    });
    connect(ui->Btn_ExitApp, &QPushButton::clicked, this, &Kavrel::onExitAppClicked);
    connect(ui->toolButton, &QToolButton::clicked, this, &Kavrel::openToolsWindow);
    connect(ui->Btn_Upload, &QPushButton::clicked, this, &Kavrel::openUploadWindow);
    connect(ui->page_DataCollectionWidget, &DataCollectionWidget::signalRecordingStateChanged, this,
            &Kavrel::onRecordingStateChanged);
    // The records page: opened from the header, left with its back button,
    // not reachable while the capture page records.
    recordsButton_ = new QPushButton(QString::fromUtf8("记录"), ui->frame_Header);
    recordsButton_->setObjectName(QStringLiteral("Btn_Records"));
    recordsButton_->setStyleSheet(buttonStyle);
    ui->horizontalLayout_Header->insertWidget(ui->horizontalLayout_Header->indexOf(ui->toolButton), recordsButton_);
    recordsPage_ = new RecordsWidget(ui->stackedWidget);
    ui->stackedWidget->addWidget(recordsPage_);
    recordsPage_->setUploadBusyCheck([](const std::string& dataset) {
        return file_manager::instance().uploads().is_queued_or_sending(dataset);
    });
    recordsPage_->setOpenFolderSource([this] {
        const CaptureSession* session = ui->page_DataCollectionWidget->captureSession();
        return session ? session->openFolder() : QString();
    });
    connect(recordsButton_, &QPushButton::clicked, this, &Kavrel::openRecordsPage);
    connect(recordsPage_, &RecordsWidget::signalBackRequested, this,
            [this] { ui->stackedWidget->setCurrentIndex(pageBeforeRecords_); });

    // A stack is as large as its largest page; only the page on show may size
    // the window, or one tall page pushes the others off a small panel.
    std::vector<QSizePolicy> pagePolicies;
    for (int i = 0; i < ui->stackedWidget->count(); ++i)
        pagePolicies.push_back(ui->stackedWidget->widget(i)->sizePolicy());
    auto sizeToPage = [this, pagePolicies](int current) {
        for (int i = 0; i < ui->stackedWidget->count(); ++i) {
            ui->stackedWidget->widget(i)->setSizePolicy(
                i == current ? pagePolicies[i] : QSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored));
        }
    };
    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this, sizeToPage);
    ui->stackedWidget->setCurrentIndex(kScenarioPage);
    sizeToPage(kScenarioPage);

    // Below 1024 px the address goes without its caption rather than cut short.
    if (const QScreen* screen = QGuiApplication::primaryScreen(); screen && screen->geometry().width() < 1024)
        ui->label_VncIpTitle->hide();

    // The header tells the truth: free space sits beside the clock.
    freeSpaceLabel_ = new QLabel(ui->frame_Header);
    freeSpaceLabel_->setObjectName(QStringLiteral("label_FreeSpace"));
    freeSpaceLabel_->setToolTip(QString::fromUtf8("存储卡剩余空间"));
    ui->horizontalLayout_Header->insertWidget(ui->horizontalLayout_Header->indexOf(ui->label_TimeInfo), freeSpaceLabel_);
    showNtpState(ntpSynchronizedAtLastCheck());  // start-up's check, until the next one
    ntpTimer_ = new QTimer(this);
    connect(ntpTimer_, &QTimer::timeout, this, [this] { checkNtpAgain(); });
    ntpTimer_->start(kNtpCheckIntervalMs);

    clockTimer_ = new QTimer(this);
    connect(clockTimer_, &QTimer::timeout, this, &Kavrel::updateClock);
    clockTimer_->start(kClockIntervalMs);
    updateClock();
}

void Kavrel::refreshHeader()
{
    const config_manager& config = config_manager::instance();
    ui->label_DeviceNo->setText(header_status::machineText(config));
    ui->label_CityValue->setText(header_status::cityText(config));
    ui->label_VncIpValue->setText(header_status::firstIPv4Address());
    const std::string root = CollectionContext::instance().storageRoot();
    // Just the amount: the header must fit 1024 pixels with every button.
    freeSpaceLabel_->setText(freeSpaceText(save_files::freeBytes(root.empty() ? "." : root)));
}

void Kavrel::showNtpState(bool synchronized)
{
    setNtpSynchronized(synchronized);
    ui->label_SyncStatus->setText(header_status::ntpText(synchronized));
    if (uploadWindow_)
        uploadWindow_->setClockUnsynchronised(!synchronized);
}

void Kavrel::checkNtpAgain(const QString& program, const QStringList& arguments)
{
    if (ntpCheck_)
        return;  // the last check has not answered yet
    // Asynchronous: the GUI never waits for the clock service.
    ntpCheck_ = new QProcess(this);
    connect(ntpCheck_, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        [this](int code, QProcess::ExitStatus status) {
            const bool synchronized = status == QProcess::NormalExit && code == 0
                && header_status::ntpAnswerSaysSynchronized(ntpCheck_->readAllStandardOutput());
            if (synchronized != ntpSynchronizedAtLastCheck())
                LOGI << "NTP synchronisation changed: " << (synchronized ? "synchronized" : "not synchronized");
            showNtpState(synchronized);
            ntpCheck_->deleteLater();
            ntpCheck_ = nullptr;
        });
    connect(ntpCheck_, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || !ntpCheck_)
            return;
        showNtpState(false);
        ntpCheck_->deleteLater();
        ntpCheck_ = nullptr;
    });
    ntpCheck_->start(program, arguments);
}

Kavrel::~Kavrel()
{
    // A clock check still running must not answer into a form being destroyed.
    if (ntpCheck_)
        disconnect(ntpCheck_, nullptr, this, nullptr);
}

int Kavrel::currentPageIndex() const
{
    return ui->stackedWidget->currentIndex();
}

ScenarioSelectWidget* Kavrel::scenarioPage() const
{
    return ui->page_ScaenarioSelectWidget;
}

InformationCollectionWidget* Kavrel::informationPage() const
{
    return ui->page_InformationCollectionWidget;
}

DataCollectionWidget* Kavrel::dataCollectionPage() const
{
    return ui->page_DataCollectionWidget;
}

void Kavrel::updateClock()
{
    ui->label_TimeInfo->setText(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")));
    refreshHeader();
}

void Kavrel::onScenarioSelected(const QString& scenarioName, const QString& scenarioPath)
{
    // A scenario set may bring its own tags.yaml; otherwise the device-wide one.
    QString tagsPath = QFileInfo(QString::fromLatin1(kDeviceTagsPath)).absoluteFilePath();
    const QFileInfo ownTags(QFileInfo(scenarioPath).absolutePath() + QStringLiteral("/tags.yaml"));
    if (ownTags.exists() && ownTags.isFile())
        tagsPath = ownTags.absoluteFilePath();

    if (!config_manager::instance().load_task_preview_config(scenarioPath.toStdString(), tagsPath.toStdString())) {
        LOGE << "Failed to load scenario config: " << scenarioPath;
        return;
    }

    InformationCollectionWidget* page = ui->page_InformationCollectionWidget;
    page->setScenario(scenarioName, scenarioPath);
    page->setScenarioLabelText(scenarioName.isEmpty() ? QStringLiteral("undefine") : scenarioName);
    page->reloadTaskList();
    if (ui->stackedWidget->currentIndex() != kInformationPage)
        ui->stackedWidget->setCurrentIndex(kInformationPage);
}

void Kavrel::backToScenarioSelect()
{
    if (ui->stackedWidget->currentIndex() != kScenarioPage)
        ui->stackedWidget->setCurrentIndex(kScenarioPage);
}

void Kavrel::switchToDataCollectionPage()
{
    if (ui->stackedWidget->currentIndex() != kDataCollectionPage)
        ui->stackedWidget->setCurrentIndex(kDataCollectionPage);
    // Labels always; cameras only when the devices or the task changed, or
    // when the page released them on its back button.
    ui->page_DataCollectionWidget->refreshCameraPreview();
    LOGD << "Data collection page: standard mode (no HK-specific handling)";
}

void Kavrel::openToolsWindow()
{
    // Built once: its tabs come from the device configuration read at start-up,
    // and a script it runs must outlive the window being hidden.
    if (!toolsWindow_)
        toolsWindow_ = new ToolsWidget(this);
    toolsWindow_->show();
    toolsWindow_->raise();
    toolsWindow_->activateWindow();
}

void Kavrel::openRecordsPage()
{
    if (ui->stackedWidget->currentWidget() != recordsPage_)
        pageBeforeRecords_ = ui->stackedWidget->currentIndex();
    ui->stackedWidget->setCurrentWidget(recordsPage_);
    recordsPage_->refresh();
}

void Kavrel::onExitAppClicked()
{
    LOGD << "========== Exit button clicked, cleaning up resources ==========";
    if (DataCollectionWidget* page = ui->page_DataCollectionWidget) {
        // Frame sets still waiting for the card: the operator decides, then waits with the page's progress.
        if (!page->askBeforeExit())
            return;
        page->cleanupResourcesAndPrepareExit();
        // A run still being written reports its folder shortly: record it
        // (meta.yaml, ledger) before the event loop ends.
        page->waitForPendingSaveResults(kExitSaveWaitMs);
    }
    LOGD << "All resources cleaned up, exiting application";
    QCoreApplication::quit();
}

void Kavrel::openUploadWindow()
{
    if (!uploadWindow_) {
        file_manager& storage = file_manager::instance();
        uploadWindow_ = new UploadWidget(storage.ledger(), storage.uploads(), this);
        uploadWindow_->setClockUnsynchronised(!ntpSynchronizedAtLastCheck());
    }
    uploadWindow_->refreshDatasets();
    uploadWindow_->show();
    uploadWindow_->raise();
    uploadWindow_->activateWindow();
}

void Kavrel::onRecordingStateChanged(bool recording)
{
    // Uploads share the card with the recording: they wait until it stops.
    ui->Btn_Upload->setEnabled(!recording);
    // Nor are sessions looked at or deleted while one is recorded.
    recordsButton_->setEnabled(!recording);
    recordsPage_->setRecording(recording);
    file_manager::instance().uploads().set_paused(recording);
    if (uploadWindow_)
        uploadWindow_->setRecording(recording);
}
