#include "ScenarioSelectWidget.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QResizeEvent>
#include <QScrollArea>

#include <yaml-cpp/yaml.h>

#include "CatalogueNames.h"
#include "Log.h"
#include "ScenarioSelectButton.h"
#include "WidgetUtils.h"
#include "scenario_tag_loader.h"
#include "ui_ScenarioSelectWidget.h"

namespace {

constexpr int kColumns = 3;
constexpr int kButtonSpacing = 8;
constexpr int kMinButtonHeight = 64;
constexpr int kSmallButtonHeight = 40;
constexpr int kThreeRowThreshold = 122;

const char* const kEmptyText = "未找到场景配置文件(scenario*.yaml)";

} // namespace

ScenarioSelectWidget::ScenarioSelectWidget(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::ScenarioSelectWidget>())
{
    ui->setupUi(this);
    setStyleSheet(WidgetUtils::scaledToScreen(styleSheet()));  // the form's sizes, for this screen

    scrollArea_ = new QScrollArea(ui->frame_2);
    scrollArea_->setWidgetResizable(true);
    scrollArea_->setFrameShape(QFrame::NoFrame);
    scrollArea_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollContent_ = new QWidget(scrollArea_);
    buttonLayout_ = new QGridLayout(scrollContent_);
    buttonLayout_->setContentsMargins(0, 0, 0, 0);
    buttonLayout_->setSpacing(kButtonSpacing);
    for (int column = 0; column < kColumns; ++column)
        buttonLayout_->setColumnStretch(column, 1);
    scrollArea_->setWidget(scrollContent_);
    ui->gridLayout_ScenarioSelect->addWidget(scrollArea_, 0, 0);

    discoverScenarios();
}

ScenarioSelectWidget::~ScenarioSelectWidget() = default;

std::vector<ScenarioSelectWidget::ScenarioEntry> ScenarioSelectWidget::findScenarioFiles()
{
    std::vector<ScenarioEntry> entries;
    for (const QString& path : CatalogueNames::scenarioFiles())
        entries.push_back({path, displayName(path)});
    return entries;
}

QString ScenarioSelectWidget::displayName(const QString& path)
{
    try {
        const YAML::Node root = YAML::LoadFile(path.toStdString());
        if (root.IsMap()) {
            const YAML::Node name = root["name"];
            if (name.IsDefined() && name.IsScalar())
                return QString::fromStdString(name.Scalar());
        }
    } catch (const std::exception& e) {
        // The button still appears, named after the file; picking it reports the error.
        LOGW << "scenario file not readable for its name, path=" << path << ", err=" << e.what();
    }
    return QFileInfo(path).baseName();
}

void ScenarioSelectWidget::discoverScenarios()
{
    while (QLayoutItem* item = buttonLayout_->takeAt(0)) {
        if (QWidget* widget = item->widget())
            widget->deleteLater();
        delete item;
    }

    const std::vector<ScenarioEntry> entries = findScenarioFiles();
    if (entries.empty()) {
        auto* label = new QLabel(QString::fromUtf8(kEmptyText), scrollContent_);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        label->setStyleSheet(QStringLiteral("color: #6B7280; font-size: 16px; font-weight: 500;"));
        buttonLayout_->addWidget(label, 0, 0, 1, kColumns, Qt::AlignHCenter | Qt::AlignVCenter);
        LOGW << "no scenario files found";
        return;
    }

    const QString style = WidgetUtils::mainButtonStyle();
    for (std::size_t i = 0; i < entries.size(); ++i) {
        auto* button = new ScenarioSelectButton(entries[i].name, entries[i].path, scrollContent_);
        button->setCursor(Qt::PointingHandCursor);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        button->setMinimumHeight(kMinButtonHeight);
        button->setStyleSheet(style);
        buttonLayout_->addWidget(button, static_cast<int>(i) / kColumns, static_cast<int>(i) % kColumns);
        connect(button, &ScenarioSelectButton::signalScenarioClicked, this,
                &ScenarioSelectWidget::signalScenarioSelected);
    }
    // An empty stretching row below the buttons keeps them at the top.
    buttonLayout_->setRowStretch((static_cast<int>(entries.size()) + 2) / kColumns, 1);
    adjustButtonHeights();

    const std::string version = scenario_tag_loader::get_latest_scenario_folder_name();
    ui->label_Version->setText(version.empty() ? QStringLiteral("N/A") : QString::fromStdString(version));
    LOGI << "scenario buttons: " << entries.size();
}

void ScenarioSelectWidget::adjustButtonHeights()
{
    const int available = ui->frame_2->height() - 2 * buttonLayout_->spacing();
    const int height = available > kThreeRowThreshold ? available / 3 : kSmallButtonHeight;
    for (QPushButton* button : scrollContent_->findChildren<QPushButton*>())
        button->setFixedHeight(height);
}

void ScenarioSelectWidget::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    adjustButtonHeights();
}
