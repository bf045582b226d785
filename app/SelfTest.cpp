#include "SelfTest.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QCoreApplication>
#include <QDate>
#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include "Application.h"
#include "CameraConfig.h"
#include "DepthCamera.h"
#include "CaptureSession.h"
#include "CollectionContext.h"
#include "Log.h"
#include "SessionCheck.h"
#include "Startup.h"
#include "config_manager.h"
#include "file_manager.h"

namespace {

constexpr int kRecordMs = 2000;
constexpr int kSavedPollMs = 250;
// The camera's own reconnect loop keeps trying meanwhile.
constexpr int kCameraWaitMs = 30000;
constexpr int kWriteWaitMs = 60000;

int finish(bool passed, const std::string& text)
{
    std::printf("self-test: %s: %s\n", passed ? "passed" : "FAILED", text.c_str());
    std::fflush(stdout);
    if (passed)
        LOGI << "Self-test passed: " << text;
    else
        LOGE << "Self-test failed: " << text;
    return passed ? 0 : 1;
}

// The first frame set, told from a camera thread to this one once.
struct FirstFrame {
    std::atomic<bool> seen{false};
    QEventLoop* waiting = nullptr;  // this thread's only
};

} // namespace

int runSelfTest(int argc, char** argv)
{
    kavrel::log::logger();
    QCoreApplication application(argc, argv);

    // The card as the terminal finds it; without one, the working directory.
    QString root = QStringLiteral(".");
    qint64 total = 0, available = 0;
    if (!getTFCardInfo(root, total, available))
        LOGW << "No TF card found; the self-test records below the working directory";
    CollectionContext::instance().setStorageRoot(root.toStdString());
    config_manager& config = config_manager::instance();
    config.init(kDeviceConfigPath);
    file_manager::instance().init(kLedgerPath, root.toStdString());

    const std::vector<CameraConfig> streams = depthCameraConfigs(config.camera_config_);
    if (streams.empty())
        return finish(false, "no depth camera streams configured (camera1, camera2)");
    CollectionInfo info;
    info.date = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toStdString();
    info.city = config.cur_city_;
    info.machine_id = config.machine_id_;
    info.scene_name = info.scene_label = "self-test";
    info.task_name = info.task_label = "camera";
    info.part_number = "0";
    info.capture_mode = "continue_record";
    info.devices = "gemini2";
    CollectionContext::instance().setCollectionInfo(info);

    auto session = std::make_unique<CaptureSession>(std::make_shared<SaveWorker>(&file_manager::instance().ledger()),
        nullptr, config_manager::instance().maxBacklogBytes());
    const int fps = config.camera_config_.camera1.fps > 0 ? config.camera_config_.camera1.fps : 30;
    session->configure(info, fps);
    auto camera = std::make_unique<DepthCamera>();
    auto first = std::make_shared<FirstFrame>();
    CameraCallbacks callbacks;
    callbacks.frameReady = [first, &application] {
        if (first->seen.exchange(true))
            return;
        QMetaObject::invokeMethod(&application, [first] {
            if (first->waiting)
                first->waiting->quit();
        }, Qt::QueuedConnection);
    };
    camera->start(config.camera_config_.camera1.camera_type_str, streams, std::move(callbacks), session->policy());
    {
        QEventLoop loop;
        first->waiting = &loop;
        QTimer::singleShot(kCameraWaitMs, &loop, &QEventLoop::quit);
        if (!first->seen)
            loop.exec();
        first->waiting = nullptr;
    }
    if (!first->seen)
        return finish(false, "the depth camera delivered nothing within " + std::to_string(kCameraWaitMs / 1000) + " s");

    std::optional<CaptureRunReport> report;
    {
        QEventLoop loop;
        QObject::connect(session.get(), &CaptureSession::runFinished, &loop, [&](const CaptureRunReport& finished) {
            report = finished;
            loop.quit();
        });
        // Two seconds, and on until a frame set is on the card: a busy board
        // can take longer than that for its first.
        std::function<void()> stopOnceSaved = [&] {
            if (session->liveCounts().frameSetsSaved > 0)
                session->stop();
            else
                QTimer::singleShot(kSavedPollMs, &loop, stopOnceSaved);
        };
        QTimer::singleShot(kRecordMs, &loop, stopOnceSaved);
        QTimer::singleShot(kRecordMs + kWriteWaitMs, &loop, &QEventLoop::quit);
        session->start();
        loop.exec();
    }
    camera.reset();
    session.reset();
    if (!report)
        return finish(false, "no frame set was written and recorded within "
            + std::to_string((kRecordMs + kWriteWaitMs) / 1000) + " s");

    const std::string path = report->saved.path.toStdString();
    if (!report->saved.failure.isEmpty())
        return finish(false, path + ": " + report->saved.failure.toStdString());
    if (report->saved.colourSaved == 0 || report->saved.depthSaved == 0)
        return finish(false, path + ": no frame set reached the card");
    const session_check::SessionReport checked = session_check::checkSession(path);
    for (const std::string& line : session_check::detailLines(checked))
        std::printf("%s\n", line.c_str());
    return finish(checked.passed(), session_check::summaryLine(checked));
}
