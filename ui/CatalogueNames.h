#pragma once
// The names the scenario catalogue gives scene and task labels, for pages that
// show sessions recorded earlier: their folders and meta.yaml hold labels
// ("restroom", "washbasin"), the operator knows the names (卫生间场景, 洗手台录制).

#include <map>
#include <utility>

#include <QString>
#include <QStringList>

class CatalogueNames {
public:
    // The scenario files of the current scenario set, else the loose
    // scenario*.yaml files in $HOME/.config/kavrel and ./config: the files
    // the start page offers.
    static QStringList scenarioFiles();
    // Reads scenes and tasks of every file that parses (a file is one
    // scenario or holds a `scenarios` list); others are left out with a note.
    static CatalogueNames load(const QStringList& files = scenarioFiles());

    void addScene(const QString& label, const QString& name);
    void addTask(const QString& sceneLabel, const QString& label, const QString& name, const QString& partName);

    // The name, or the label itself when the catalogue has none.
    QString sceneName(const QString& sceneLabel) const;
    QString taskName(const QString& sceneLabel, const QString& taskLabel) const;
    // What the task calls its part number ("柜门号"; "隔间号" when it does not
    // say); "编号" for a task the catalogue does not know.
    QString partCaption(const QString& sceneLabel, const QString& taskLabel) const;

    // Scene, task and part in words: "卫生间场景 · 洗手台录制 · 隔间号 12"
    // (no part when empty); labels the catalogue does not name stay labels.
    QString describe(const QString& sceneLabel, const QString& taskLabel, const QString& part) const;
    // "2026-12-06 14:36:35" for a session folder's time "20261206_143635";
    // anything else is returned as it is.
    static QString sessionTimeWords(const QString& sessionTime);

private:
    struct Task {
        QString name, partName;
    };
    const Task* findTask(const QString& sceneLabel, const QString& taskLabel) const;

    std::map<QString, QString> scenes_;
    std::map<std::pair<QString, QString>, Task> tasks_;  // (scene label, task label)
};
