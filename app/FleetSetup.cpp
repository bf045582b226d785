#include "FleetSetup.h"

#include <QStackedWidget>
#include <QWidget>

#include "CollectionContext.h"
#include "DataCollectionWidget.h"
#include "Log.h"
#include "Startup.h"
#include "config_manager.h"
#include "file_manager.h"
#include "fleet_agent.h"
#include "s3_client.h"
#include "scenario_tag_loader.h"

std::shared_ptr<fleet_agent> startFleetAgent(std::shared_ptr<s3_client> store)
{
    const config_manager& config = config_manager::instance();
    if (!store)
        return nullptr;
    if (terminal_status_key(config.machine_id_).empty()) {
        LOGW << "Fleet off: machine_id is empty or not a plain name: '" << config.machine_id_ << "'";
        return nullptr;
    }
    const std::string user_dir = scenario_tag_loader::user_config_dir();
    fleet_agent_settings settings;
    settings.interval = std::chrono::minutes(config.fleet_.interval_min);
    settings.machine_id = config.machine_id_;
    settings.catalogue_prefix = config.fleet_.catalogue_prefix;
    settings.scenario_root = user_dir.empty() ? std::string() : user_dir + "/scenario";
    settings.storage_root = CollectionContext::instance().storageRoot();
    settings.ledger_rows = [] { return file_manager::instance().ledger().records_snapshot(); };
    settings.ntp_synchronized = [] { return ntpSynchronizedAtLastCheck(); };
    auto agent = std::make_shared<fleet_agent>(store, std::move(settings));
    file_manager::instance().uploads().set_client(std::make_shared<upload_reporting_client>(store, agent),
        config.upload_.parallel_files);
    agent->start();
    LOGI << "Fleet: catalogue from " << config.fleet_.catalogue_prefix << " and status every "
         << config.fleet_.interval_min << " min";
    return agent;
}

void followCapturePage(fleet_agent& agent, QWidget& mainWindow)
{
    auto* pages = mainWindow.findChild<QStackedWidget*>(QStringLiteral("stackedWidget"));
    if (!pages)
        return;
    QObject::connect(pages, &QStackedWidget::currentChanged, &mainWindow, [&agent, pages](int index) {
        agent.set_capturing(qobject_cast<DataCollectionWidget*>(pages->widget(index)) != nullptr);
    });
}
