#include "CatalogueNames.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <yaml-cpp/yaml.h>

#include "Log.h"
#include "scenario_tag_loader.h"

namespace {

// A missing key of a const node is an invalid node whose type throws: ask
// IsDefined() first.
YAML::Node field(const YAML::Node& map, const char* key)
{
    return map.IsMap() ? map[key] : YAML::Node();
}

QString scalar(const YAML::Node& map, const char* key)
{
    const YAML::Node value = field(map, key);
    return value.IsDefined() && value.IsScalar() ? QString::fromStdString(value.Scalar()) : QString();
}

bool isSequence(const YAML::Node& node)
{
    return node.IsDefined() && node.IsSequence();
}

} // namespace

QStringList CatalogueNames::scenarioFiles()
{
    QStringList files;
    auto add = [&files](const QString& path) {
        if (!path.isEmpty() && !files.contains(path))
            files << path;
    };
    const std::string userDir = scenario_tag_loader::user_config_dir();
    const std::string latest = scenario_tag_loader::get_latest_scenario_folder_name();
    if (!latest.empty()) {
        for (const std::string& file : scenario_tag_loader::existing_unique_files(
                 scenario_tag_loader::sorted_yaml_files_with_prefix(userDir + "/scenario/" + latest, "scenario")))
            add(QString::fromStdString(file));
    }
    if (!files.isEmpty())
        return files;

    // No current scenario set, or an empty one: loose scenario files.
    QStringList folders;
    if (!userDir.empty())
        folders << QString::fromStdString(userDir);
    const QString local = QDir::currentPath() + "/config";
    if (!folders.contains(local))
        folders << local;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        if (!dir.exists())
            continue;
        for (const QFileInfo& file :
            dir.entryInfoList({QStringLiteral("scenario*.yaml")}, QDir::Files | QDir::Readable, QDir::Name))
            add(file.absoluteFilePath());
    }
    return files;
}

CatalogueNames CatalogueNames::load(const QStringList& files)
{
    CatalogueNames names;
    for (const QString& file : files) {
        try {
            const YAML::Node root = YAML::LoadFile(file.toStdString());
            std::vector<YAML::Node> scenarios;
            if (const YAML::Node list = field(root, "scenarios"); isSequence(list)) {
                for (const YAML::Node& scenario : list)
                    scenarios.push_back(scenario);
            } else {
                scenarios.push_back(root);
            }
            for (const YAML::Node& scenario : scenarios) {
                if (!scenario.IsMap())
                    continue;
                const QString scene = scalar(scenario, "label");
                names.addScene(scene, scalar(scenario, "name"));
                const YAML::Node tasks = field(scenario, "tasks");
                if (!isSequence(tasks))
                    continue;
                for (const YAML::Node& task : tasks) {
                    if (task.IsMap())
                        names.addTask(scene, scalar(task, "label"), scalar(task, "name"), scalar(task, "part_name"));
                }
            }
        } catch (const std::exception& error) {
            // The start page warns about the file; here its labels just stay labels.
            LOGD << "No names from scenario file " << file << ": " << error.what();
        }
    }
    return names;
}

void CatalogueNames::addScene(const QString& label, const QString& name)
{
    if (!label.isEmpty() && !name.isEmpty())
        scenes_.emplace(label, name);
}

void CatalogueNames::addTask(const QString& sceneLabel, const QString& label, const QString& name, const QString& partName)
{
    if (!label.isEmpty())
        tasks_.emplace(std::make_pair(sceneLabel, label), Task{name, partName});
}

QString CatalogueNames::sceneName(const QString& sceneLabel) const
{
    const auto found = scenes_.find(sceneLabel);
    return found == scenes_.end() ? sceneLabel : found->second;
}

const CatalogueNames::Task* CatalogueNames::findTask(const QString& sceneLabel, const QString& taskLabel) const
{
    if (const auto found = tasks_.find({sceneLabel, taskLabel}); found != tasks_.end())
        return &found->second;
    // Sessions whose scene is unknown (an old folder name): a task label that
    // only one scene uses still tells.
    const Task* only = nullptr;
    for (const auto& [key, task] : tasks_) {
        if (key.second != taskLabel)
            continue;
        if (only)
            return nullptr;
        only = &task;
    }
    return only;
}

QString CatalogueNames::taskName(const QString& sceneLabel, const QString& taskLabel) const
{
    const Task* task = findTask(sceneLabel, taskLabel);
    return task && !task->name.isEmpty() ? task->name : taskLabel;
}

QString CatalogueNames::partCaption(const QString& sceneLabel, const QString& taskLabel) const
{
    const Task* task = findTask(sceneLabel, taskLabel);
    if (!task)
        return QString::fromUtf8("编号");
    // A task without its own caption numbers compartments, as the information page says.
    return task->partName.isEmpty() ? QString::fromUtf8("隔间号") : task->partName;
}

QString CatalogueNames::describe(const QString& sceneLabel, const QString& taskLabel, const QString& part) const
{
    QStringList words;
    for (const QString& word : {sceneName(sceneLabel), taskName(sceneLabel, taskLabel)}) {
        if (!word.isEmpty())
            words << word;
    }
    if (!part.isEmpty())
        words << partCaption(sceneLabel, taskLabel) + QLatin1Char(' ') + part;
    return words.join(QStringLiteral(" · "));
}

QString CatalogueNames::sessionTimeWords(const QString& sessionTime)
{
    // A second session in the same second is "<time>_2".
    const QString stamp = sessionTime.left(15);
    const QDateTime time = QDateTime::fromString(stamp, QStringLiteral("yyyyMMdd_HHmmss"));
    if (!time.isValid())
        return sessionTime;
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + sessionTime.mid(15);
}
