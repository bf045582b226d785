#include "Application.h"

#include <memory>

#include <QApplication>
#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QScreen>
#include <QTimer>
#include <QWidget>

#include "CollectionContext.h"
#include "ConfirmationDialog.h"
#include "Kavrel.h"
#include "Log.h"
#include "Resources.h"
#include "Startup.h"
#include "config_manager.h"
#include "file_manager.h"

namespace {

const char* const kDeviceConfigPath = "/etc/kavrel/def_config.json";
const char* const kLedgerPath = "./file_manager.csv";

} // namespace

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

std::unique_ptr<QWidget> createMainWindow(bool ntpSynchronized)
{
    auto window = std::make_unique<Kavrel>();
    window->showNtpState(ntpSynchronized);
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
    const bool ntpSynchronized = checkNtpSynchronized();
    config_manager::instance().init(kDeviceConfigPath);
    file_manager::instance().init(kLedgerPath, CollectionContext::instance().storageRoot());

    auto window = createMainWindow(ntpSynchronized);
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
