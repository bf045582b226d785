#pragma once
// Page 1: the picked scenario's tasks, the tag groups and tags the chosen task
// offers, its devices and capture mode, and the compartment number. "进入采集"
// hands the choices over through CollectionInfo and the configuration's tag
// lists. GUI thread only.

#include <cstdint>
#include <memory>
#include <vector>

#include <QString>
#include <QStringList>
#include <QWidget>

#include <nlohmann/json.hpp>

#include "WidgetUtils.h"

class QListWidget;

namespace Ui {
class InformationCollectionWidget;
}

class InformationCollectionWidget : public QWidget, public WidgetUtils {
    Q_OBJECT
public:
    explicit InformationCollectionWidget(QWidget* parent = nullptr);
    ~InformationCollectionWidget() override;

    // Set by the main window when a scenario has loaded.
    void setScenario(const QString& name, const QString& path);
    void setScenarioLabelText(const QString& text);
    QString scenarioName() const { return scenarioName_; }
    QString scenarioPath() const { return scenarioPath_; }

    // Rebuilds every list from the configuration's stored task preview and
    // selects the first task.
    void reloadTaskList();

    void selectTask(int index);
    void selectGroup(int index);

    // The operator's current choices.
    QString selectedTaskLabel() const { return selectedTaskLabel_; }
    QString selectedGroupLabel() const { return selectedGroupLabel_; }
    QStringList selectedTags() const { return selectedTags_; }
    QStringList selectedDevices() const { return selectedDevices_; }
    bool needPartNumber() const { return needPartNumber_; }
    QString partNumber() const { return partNumber_; }
    QString mode() const { return mode_; }
    int32_t shotIntervalMs() const { return shotIntervalMs_; }

signals:
    void signalBackToScenarioSelectRequested();
    void signalEnterDataCollectionRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct TaskEntry {
        QString label;
        QString name;
        nlohmann::ordered_json object;
    };
    struct GroupEntry {
        QString label;
        QString name;
        nlohmann::ordered_json object;
    };
    struct TagEntry {
        QString tag;
        QString name;
    };

    void applyTaskObject(const nlohmann::ordered_json& task);
    void rebuildDeviceList(const nlohmann::ordered_json& task);
    void rebuildGroupList();
    void clearTagList();
    void refreshTagsTitle();
    void refreshCompartmentButton();
    void fitRows();
    void onInputCompartmentClicked();
    void onConfirmClicked();

    std::unique_ptr<Ui::InformationCollectionWidget> ui;
    QString scenarioName_;
    QString scenarioPath_;
    std::vector<TaskEntry> taskEntries_;
    std::vector<GroupEntry> groupEntries_;
    std::vector<TagEntry> tagEntries_;
    QString selectedTaskLabel_;
    QString selectedGroupLabel_;
    QStringList selectedTags_;
    QStringList selectedDevices_;
    bool needPartNumber_ = true;
    QString partCaption_ = QString::fromUtf8("隔间号");
    QString partNumber_;
    QString mode_ = QStringLiteral("single_shot");
    int32_t shotIntervalMs_ = 1000;
};
