#pragma once
// The catalogue of one scenario file, as the information page lists it.

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct task_preview_load_result {
    // The scenario's name, else its label, else "场景任务配置".
    std::string title;
    // One task object per accepted task, in file order.
    std::vector<nlohmann::ordered_json> tasks;
    // Task label -> preview object (task texts, its merged groups and their tags).
    std::map<std::string, nlohmann::ordered_json> task_previews;
    // Scenario label -> accepted task labels in file order.
    std::map<std::string, std::vector<std::string>> scenario_task_list;
    // Task label -> its tag_include list as written.
    std::map<std::string, std::vector<std::string>> task_groups;
    // Task label -> scenario label.
    std::map<std::string, std::string> task_scenario;

    void clear()
    {
        title.clear();
        tasks.clear();
        task_previews.clear();
        scenario_task_list.clear();
        task_groups.clear();
        task_scenario.clear();
    }
    bool empty() const { return tasks.empty() && task_previews.empty() && title.empty(); }
};
