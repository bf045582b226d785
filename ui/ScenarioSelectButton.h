#pragma once
// One scenario on the start page: a large button that reports which scenario
// file it stands for.

#include <QPushButton>
#include <QString>

class ScenarioSelectButton : public QPushButton {
    Q_OBJECT
public:
    ScenarioSelectButton(const QString& scenarioName, const QString& scenarioPath,
                         QWidget* parent = nullptr);

    const QString scenarioName;
    const QString scenarioPath;

signals:
    void signalScenarioClicked(const QString& scenarioName, const QString& scenarioPath);
};
