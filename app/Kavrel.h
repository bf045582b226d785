#pragma once
// The terminal's single top-level window: a status header above the stack of
// the three workflow pages (scenarios, information, capture). It moves between
// the pages on their signals and loads a scenario's catalogue when one is picked.

#include <memory>

#include <QString>
#include <QWidget>

class QTimer;
class InformationCollectionWidget;
class ScenarioSelectWidget;
class ToolsWidget;

namespace Ui {
class Kavrel;
}

class Kavrel : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* kDeviceTagsPath = "/etc/kavrel/tags.yaml";

    explicit Kavrel(QWidget* parent = nullptr);
    ~Kavrel() override;

    // Shows the capture page (index 2).
    void switchToDataCollectionPage();

    int currentPageIndex() const;
    ScenarioSelectWidget* scenarioPage() const;
    InformationCollectionWidget* informationPage() const;
    QWidget* dataCollectionPage() const;
    // The tools window once the tools button has opened it, else null.
    ToolsWidget* toolsWindow() const { return toolsWindow_; }

public slots:
    void onScenarioSelected(const QString& scenarioName, const QString& scenarioPath);
    void onExitAppClicked();

private slots:
    void backToScenarioSelect();
    void updateClock();
    void openToolsWindow();

private:
    std::unique_ptr<Ui::Kavrel> ui;
    QTimer* clockTimer_ = nullptr;       // child of the window
    ToolsWidget* toolsWindow_ = nullptr;  // child of the window, built on first use
};
