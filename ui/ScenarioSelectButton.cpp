#include "ScenarioSelectButton.h"

ScenarioSelectButton::ScenarioSelectButton(const QString& name, const QString& path, QWidget* parent)
    : QPushButton(name, parent), scenarioName(name), scenarioPath(path)
{
    connect(this, &QPushButton::clicked, this,
            [this] { emit signalScenarioClicked(scenarioName, scenarioPath); });
}
