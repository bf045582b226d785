#include "Application.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include <unistd.h>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "FleetSetup.h"
#include "Kavrel.h"
#include "Log.h"
#include "Resources.h"
#include "Startup.h"
#include "config_manager.h"
#include "file_manager.h"
#include "fleet_agent.h"
#include "s3_client.h"

void probeStorageCard()
{
    QString path = ".";
    qint64 total = 0;
    qint64 available = 0;
    if (!getTFCardInfo(path, total, available)) {
        // The operator is told before the main window appears; capture then
        // goes below the working directory.
        ConfirmationDialog dialog(QString::fromUtf8("错误"), QString::fromUtf8("未检测到 TF 卡!"), nullptr);
        // Smoke runs without a card must not stop at the question.
        if (const int quitAfterMs = qEnvironmentVariableIntValue("KAVREL_QUIT_AFTER_MS"); quitAfterMs > 0)
            QTimer::singleShot(quitAfterMs, &dialog, &QDialog::reject);
        dialog.exec();
    }
    CollectionContext::instance().setStorageRoot(path.toUtf8().toStdString());
}

namespace {

// Uploads go to the configured object store; without an endpoint or
// credentials they stay off and the upload page says why. Returns the store
// client, or null.
std::shared_ptr<s3_client> configureUploads()
{
    const upload_config& config = config_manager::instance().upload_;
    uploader& uploads = file_manager::instance().uploads();
    if (config.endpoint.empty()) {
        LOGI << "Uploads are off: no upload endpoint configured";
        uploads.set_client(nullptr, config.parallel_files, "未配置上传服务器");
        return nullptr;
    }
    const upload_credentials credentials = load_upload_credentials(kCredentialsPath);
    if (!credentials.ok()) {
        LOGE << "Uploads are off: " << credentials.error;
        uploads.set_client(nullptr, config.parallel_files, "上传凭据不可用");
        return nullptr;
    }
    if (!config.ca_file.empty() && ::access(config.ca_file.c_str(), R_OK) != 0)
        LOGE << "Upload CA file cannot be read: " << config.ca_file << " (" << std::strerror(errno)
             << "); https uploads fail until it is in place";
    s3_settings settings;
    settings.endpoint = config.endpoint;
    settings.region = config.region;
    settings.bucket = config.bucket;
    settings.path_style = config.path_style;
    settings.ca_file = config.ca_file;
    settings.max_mbit = config.max_mbit;
    settings.access_key_id = credentials.access_key_id;
    settings.secret_access_key = credentials.secret_access_key;
    auto client = std::make_shared<s3_client>(std::move(settings));
    uploads.set_client(client, config.parallel_files);
    LOGI << "Uploads go to " << config.endpoint << ", bucket " << config.bucket;
    return client;
}

std::unique_ptr<QWidget> createMainWindow()
{
    auto window = std::make_unique<Kavrel>();
    // Without a window manager the full-screen request is ignored: cover the screen ourselves.
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        window->setGeometry(screen->geometry());
    return window;
}

} // namespace

void loadApplicationFont()
{
    const int id = QFontDatabase::addApplicationFont(QStringLiteral(":/Fonts/DroidSansFallbackFull.ttf"));
    if (id == -1) {
        LOGE << "Load font failed";
        return;
    }
    for (const QString& family : QFontDatabase::applicationFontFamilies(id))
        QApplication::setFont(QFont(family));
}

int runKavrel(int argc, char** argv)
{
    kavrel::log::logger();
    auto application = std::make_unique<QApplication>(argc, argv);
    kavrel::initResources();
    loadApplicationFont();
    probeStorageCard();
    checkNtpSynchronized();
    config_manager::instance().init(kDeviceConfigPath);
    file_manager::instance().init(kLedgerPath, CollectionContext::instance().storageRoot());
    const std::shared_ptr<fleet_agent> fleet = startFleetAgent(configureUploads());

    auto window = createMainWindow();
    if (fleet)
        followCapturePage(*fleet, *window);
    window->showFullScreen();
    window->show();

    // Smoke tests and screenshots end the run from inside the event loop.
    if (const int quitAfterMs = qEnvironmentVariableIntValue("KAVREL_QUIT_AFTER_MS"); quitAfterMs > 0)
        QTimer::singleShot(quitAfterMs, qApp, &QCoreApplication::quit);

    const int code = QApplication::exec();
    LOGD << "Application Exit, return code:" << code;
    window.reset();
    application.reset();
    return code;
}
