#pragma once
// Start page: one button per scenario file of the current scenario set, in a
// scrollable three-column grid. Built once with the main window.

#include <memory>
#include <vector>

#include <QString>
#include <QWidget>

class QGridLayout;
class QScrollArea;

namespace Ui {
class ScenarioSelectWidget;
}

class ScenarioSelectWidget : public QWidget {
    Q_OBJECT
public:
    explicit ScenarioSelectWidget(QWidget* parent = nullptr);
    ~ScenarioSelectWidget() override;

    // Fixes every scenario button to a third of the frame's free height, or
    // 40 pixels when the frame is too small for that.
    void adjustButtonHeights();

    // The grid of scenario buttons (inside the scroll area).
    QGridLayout* buttonGrid() const { return buttonLayout_; }

signals:
    void signalScenarioSelected(const QString& scenarioName, const QString& scenarioPath);

protected:
    void resizeEvent(QResizeEvent* event) override;
    // A newer scenario set may have arrived from the store meanwhile.
    void showEvent(QShowEvent* event) override;

private:
    struct ScenarioEntry {
        QString path;
        QString name;
    };

    void discoverScenarios();
    static std::vector<ScenarioEntry> findScenarioFiles();
    static QString displayName(const QString& path);

    std::unique_ptr<Ui::ScenarioSelectWidget> ui;
    QScrollArea* scrollArea_ = nullptr;     // child of frame_2
    QWidget* scrollContent_ = nullptr;      // owned by the scroll area
    QGridLayout* buttonLayout_ = nullptr;   // layout of scrollContent_
};
