#pragma once
// Catalogue tests load from files put below a scratch HOME.

#include <filesystem>
#include <optional>
#include <string>

#include "ConfigFixture.h"
#include "scenario_tag_loader.h"

namespace kavrel::test {

// A valid catalogue: tag groups, and two scenarios of which the kitchen is
// the first with a label.
inline const char* const kKitchenTags = R"(tag_groups:
  - {label: light, name: 光照, tags: [{tag: dim, name: 昏暗}, {tag: bright, name: 明亮}]}
  - {label: surface, name: 台面, tags: [{tag: wood}, {tag: steel, name: 不锈钢}, {name: 无标识}]}
  - {name: 无标签组, tags: [{tag: lost}]}
)";

inline const char* const kKitchenScenario = R"(scenarios:
  - name: 没有标签的场景
    tasks: [{label: ignored}]
  - label: kitchen
    name: 厨房
    description: 家庭厨房
    tasks:
      - label: counter
        name: 台面拍照
        description: 拍台面
        tag_include: [light, surface]
        mode: single_shot
        need_part_num: yes
        part_name: 柜号
        shot_interval_ms: 250
        devices:
          - {label: gemini, name: 深度相机}
          - {name: usb_cam}
          - {}
      - name: 没有标签的任务
      - label: sink
        tag_include: [surface]
        mode: continue_record
        need_part_num: 0
  - label: second
    tasks: [{label: never}]
)";

class CatalogueTest : public ScratchHomeTest {
protected:
    bool load(const std::string& scenario, const std::string& tags = {})
    {
        error_.clear();
        return scenario_tag_loader::load_task_preview(scenario, tags, result_, &error_);
    }

    task_preview_load_result result_;
    std::string error_;
};

} // namespace kavrel::test
