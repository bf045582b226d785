#include "InformationCollectionWidget.h"

#include <QDate>
#include <QEvent>
#include <QListWidget>

#include "CollectionContext.h"
#include "Log.h"
#include "Popupkeyboard.h"
#include "SelectableListItemButton.h"
#include "config_manager.h"
#include "ui_InformationCollectionWidget.h"

using json = nlohmann::ordered_json;

namespace {

constexpr int kTaskRowHeight = 40;
constexpr int kGroupRowHeight = 40;
constexpr int kTagRowHeight = 36;
constexpr int kDeviceRowHeight = 36;
constexpr int kVisibleRows = 5;
constexpr int kVisibleDeviceRows = 2;
constexpr int kPartNumberDigits = 3;
constexpr int32_t kDefaultShotIntervalMs = 1000;

// Catalogue objects come from operator files through the loader; read them
// defensively all the same, a wrong type gives the default.
QString jsonText(const json& object, const char* key, const QString& fallback = {})
{
    if (!object.is_object())
        return fallback;
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return fallback;
    return QString::fromStdString(it->get<std::string>());
}

std::vector<std::string> toStdList(const QStringList& list)
{
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(list.size()));
    for (const QString& s : list)
        out.push_back(s.toStdString());
    return out;
}

// The button shown in a list row, or null.
SelectableListItemButton* rowButton(QListWidget* list, int row)
{
    QListWidgetItem* item = list->item(row);
    return item ? qobject_cast<SelectableListItemButton*>(list->itemWidget(item)) : nullptr;
}

void selectOnly(QListWidget* list, int row)
{
    for (int i = 0; i < list->count(); ++i) {
        if (SelectableListItemButton* button = rowButton(list, i))
            button->setSelected(i == row);
    }
}

} // namespace

InformationCollectionWidget::InformationCollectionWidget(QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::InformationCollectionWidget>())
{
    ui->setupUi(this);
    loadStyles(this, QStringLiteral(":/Qss/InformationCollectionWidget.qss"));
    ui->pushButton_BackToScenarioSelect->setText(QStringLiteral("<"));
    for (QListWidget* list : {ui->listWidget_TaskSelect, ui->listWidget_TagGroupChoose, ui->listWidget_SelectTags,
                              ui->listWidget_Device}) {
        // The row buttons carry the selection, not the list.
        list->setSelectionMode(QAbstractItemView::NoSelection);
        list->setFocusPolicy(Qt::NoFocus);
        list->installEventFilter(this);
    }

    connect(ui->pushButton_BackToScenarioSelect, &QPushButton::clicked, this,
            &InformationCollectionWidget::signalBackToScenarioSelectRequested);
    connect(ui->Btn_Confirm, &QPushButton::clicked, this, &InformationCollectionWidget::onConfirmClicked);
    connect(ui->Btn_InputCompartment, &QPushButton::clicked, this,
            &InformationCollectionWidget::onInputCompartmentClicked);

    reloadTaskList();
}

InformationCollectionWidget::~InformationCollectionWidget() = default;

void InformationCollectionWidget::setScenario(const QString& name, const QString& path)
{
    scenarioName_ = name;
    scenarioPath_ = path;
}

void InformationCollectionWidget::setScenarioLabelText(const QString& text)
{
    ui->label_Scenario->setText(text);
}

void InformationCollectionWidget::reloadTaskList()
{
    taskEntries_.clear();
    ui->listWidget_TaskSelect->clear();
    for (const json& task : config_manager::instance().task_preview_.tasks) {
        const QString label = jsonText(task, "label");
        if (label.isEmpty())
            continue;
        taskEntries_.push_back({label, jsonText(task, "name", QString::fromUtf8("未命名任务")), task});
    }

    if (taskEntries_.empty()) {
        // No scenario loaded, or nothing in it: every list empty, and with no
        // task there is nothing to number, so "进入采集" goes straight on.
        selectedTaskLabel_.clear();
        applyTaskObject(json{{"need_part_num", false}});
        groupEntries_.clear();
        selectedGroupLabel_.clear();
        ui->listWidget_TagGroupChoose->clear();
        clearTagList();
        ui->listWidget_Device->clear();
        selectedDevices_.clear();
        refreshTagsTitle();
        fitRows();
        return;
    }

    for (std::size_t i = 0; i < taskEntries_.size(); ++i) {
        SelectableListItemButton* button =
            addSelectableListItem(ui->listWidget_TaskSelect, taskEntries_[i].name, i == 0, kTaskRowHeight);
        const int index = static_cast<int>(i);
        connect(button, &QPushButton::clicked, this, [this, index] { selectTask(index); });
    }
    selectTask(0);
    fitRows();
}

void InformationCollectionWidget::selectTask(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= taskEntries_.size())
        return;
    const TaskEntry& entry = taskEntries_[static_cast<std::size_t>(index)];
    selectedTaskLabel_ = entry.label;
    selectOnly(ui->listWidget_TaskSelect, index);
    applyTaskObject(entry.object);
    rebuildDeviceList(entry.object);
    rebuildGroupList();
    LOGD << "task selected: " << selectedTaskLabel_ << ", mode=" << mode_;
}

void InformationCollectionWidget::applyTaskObject(const json& task)
{
    mode_ = jsonText(task, "mode", QStringLiteral("single_shot"));
    needPartNumber_ = true;
    if (const auto it = task.find("need_part_num"); it != task.end() && it->is_boolean())
        needPartNumber_ = it->get<bool>();
    partCaption_ = jsonText(task, "part_name", QString::fromUtf8("隔间号"));
    shotIntervalMs_ = kDefaultShotIntervalMs;
    if (const auto it = task.find("shot_interval_ms"); it != task.end() && it->is_number_integer())
        shotIntervalMs_ = it->get<int32_t>();

    // The task prescribes the mode; the radio buttons only show it.
    const bool continuous = mode_ == QLatin1String("continue_shot") || mode_ == QLatin1String("continue_record");
    ui->radioButton_ContinueShot->setChecked(continuous);
    ui->radioButton_SingleShot->setChecked(!continuous);
    ui->radioButton_SingleShot->setEnabled(false);
    ui->radioButton_ContinueShot->setEnabled(false);

    if (!needPartNumber_)
        partNumber_.clear();
    ui->Btn_InputCompartment->setVisible(needPartNumber_);
    ui->Btn_InputCompartment->setEnabled(needPartNumber_);
    refreshCompartmentButton();
}

void InformationCollectionWidget::refreshCompartmentButton()
{
    if (!needPartNumber_)
        return;
    QString text = partCaption_.isEmpty() ? QString::fromUtf8("编号") : partCaption_;
    if (!partNumber_.isEmpty())
        text += QLatin1Char(':') + partNumber_;
    ui->Btn_InputCompartment->setText(text);
}

void InformationCollectionWidget::rebuildDeviceList(const json& task)
{
    ui->listWidget_Device->clear();
    selectedDevices_.clear();
    const auto sources = task.find("data_source");
    if (sources != task.end() && sources->is_array()) {
        for (const json& source : *sources) {
            if (!source.is_string())
                continue;
            const QString device = QString::fromStdString(source.get<std::string>());
            selectedDevices_.append(device);
            SelectableListItemButton* button =
                addSelectableListItem(ui->listWidget_Device, device, true, kDeviceRowHeight);
            connect(button, &QPushButton::clicked, this, [this, button, device] {
                if (selectedDevices_.contains(device))
                    selectedDevices_.removeAll(device);
                else
                    selectedDevices_.append(device);
                button->toggleSelected();
            });
        }
    }
    fitRows();
}

void InformationCollectionWidget::rebuildGroupList()
{
    groupEntries_.clear();
    selectedGroupLabel_.clear();
    ui->listWidget_TagGroupChoose->clear();

    const auto& previews = config_manager::instance().task_preview_.task_previews;
    const auto preview = previews.find(selectedTaskLabel_.toStdString());
    if (preview != previews.end()) {
        const auto groups = preview->second.find("tag_groups");
        if (groups != preview->second.end() && groups->is_array()) {
            for (const json& group : *groups) {
                const QString label = jsonText(group, "label");
                groupEntries_.push_back({label, jsonText(group, "name", label), group});
            }
        }
    }
    for (std::size_t i = 0; i < groupEntries_.size(); ++i) {
        SelectableListItemButton* button =
            addSelectableListItem(ui->listWidget_TagGroupChoose, groupEntries_[i].name, i == 0, kGroupRowHeight);
        const int index = static_cast<int>(i);
        connect(button, &QPushButton::clicked, this, [this, index] { selectGroup(index); });
    }
    if (!groupEntries_.empty()) {
        selectGroup(0);
    } else {
        // Tags of the previous task's group must not stay choosable.
        clearTagList();
        config_manager::instance().tag_pairs_.clear();
        refreshTagsTitle();
    }
    fitRows();
}

void InformationCollectionWidget::clearTagList()
{
    ui->listWidget_SelectTags->clear();
    tagEntries_.clear();
    selectedTags_.clear();
}

void InformationCollectionWidget::selectGroup(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= groupEntries_.size())
        return;
    const GroupEntry& group = groupEntries_[static_cast<std::size_t>(index)];
    selectedGroupLabel_ = group.label;
    selectOnly(ui->listWidget_TagGroupChoose, index);

    // A new group starts with no tags chosen.
    clearTagList();
    std::vector<std::pair<std::string, std::string>> pairs;
    const auto tags = group.object.find("tags");
    if (tags != group.object.end() && tags->is_array()) {
        for (const json& tag : *tags) {
            const QString id = jsonText(tag, "tag");
            if (id.isEmpty())
                continue;
            const QString name = jsonText(tag, "name", id);
            tagEntries_.push_back({id, name});
            pairs.emplace_back(id.toStdString(), name.toStdString());
        }
    }
    config_manager::instance().tag_pairs_ = std::move(pairs);

    for (const TagEntry& tag : tagEntries_) {
        SelectableListItemButton* button =
            addSelectableListItem(ui->listWidget_SelectTags, tag.name, false, kTagRowHeight);
        const QString id = tag.tag;
        connect(button, &QPushButton::clicked, this, [this, button, id] {
            if (selectedTags_.contains(id))
                selectedTags_.removeAll(id);
            else
                selectedTags_.append(id);
            button->toggleSelected();
            refreshTagsTitle();
        });
    }
    refreshTagsTitle();
    fitRows();
}

void InformationCollectionWidget::refreshTagsTitle()
{
    ui->label_SelectTagsTitle->setText(QString::fromUtf8("具体标签(%1已选)").arg(selectedTags_.size()));
}

void InformationCollectionWidget::fitRows()
{
    fitListItemsToRows(ui->listWidget_TaskSelect, kVisibleRows);
    fitListItemsToRows(ui->listWidget_TagGroupChoose, kVisibleRows);
    fitListItemsToRows(ui->listWidget_SelectTags, kVisibleRows);
    fitListItemsToRows(ui->listWidget_Device, kVisibleDeviceRows);
}

bool InformationCollectionWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Resize) {
        if (auto* list = qobject_cast<QListWidget*>(watched))
            fitListItemsToRows(list, list == ui->listWidget_Device ? kVisibleDeviceRows : kVisibleRows);
    }
    return QWidget::eventFilter(watched, event);
}

void InformationCollectionWidget::onInputCompartmentClicked()
{
    if (!needPartNumber_)
        return;
    Popupkeyboard keyboard(this);
    keyboard.setMaxLength(kPartNumberDigits);
    keyboard.setText(partNumber_);
    if (keyboard.exec() != QDialog::Accepted)
        return;
    partNumber_ = keyboard.text().trimmed();
    refreshCompartmentButton();
    LOGD << "part number entered: " << partNumber_;
}

void InformationCollectionWidget::onConfirmClicked()
{
    if (needPartNumber_ && partNumber_.isEmpty()) {
        // The operator presses "进入采集" again once the number is in.
        ui->Btn_InputCompartment->click();
        return;
    }

    config_manager& config = config_manager::instance();
    config.selected_tags_ = toStdList(selectedTags_);

    CollectionInfo info;
    info.date = QDate::currentDate().toString(QStringLiteral("yyyyMMdd")).toStdString();
    info.city = config.cur_city_;
    info.machine_id = config.machine_id_;
    info.scene_name = scenarioName_.toStdString();
    const std::string taskLabel = selectedTaskLabel_.toStdString();
    if (const auto it = config.task_preview_.task_scenario.find(taskLabel);
        it != config.task_preview_.task_scenario.end())
        info.scene_label = it->second;
    for (const TaskEntry& entry : taskEntries_) {
        if (entry.label == selectedTaskLabel_) {
            info.task_name = entry.name.toStdString();
            break;
        }
    }
    info.task_label = taskLabel;
    info.part_number = needPartNumber_ ? partNumber_.toStdString() : std::string("0");
    if (!mode_.isEmpty())
        info.capture_mode = mode_.toStdString();
    else
        info.capture_mode = ui->radioButton_SingleShot->isChecked() ? "single_shot" : "continuous_shot";
    info.devices = selectedDevices_.join(QLatin1Char(',')).toStdString();
    info.shot_interval_ms = shotIntervalMs_;
    info.session_tags = config.selected_tags_;

    LOGI << "enter collection: scene=" << info.scene_label << ", task=" << info.task_label
         << ", part=" << info.part_number << ", mode=" << info.capture_mode << ", devices=" << info.devices
         << ", tags=" << info.session_tags.size();
    CollectionContext::instance().setCollectionInfo(std::move(info));
    emit signalEnterDataCollectionRequested();
}
