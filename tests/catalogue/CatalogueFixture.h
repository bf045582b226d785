#pragma once
// Catalogue tests load from files put below a scratch HOME.

#include <filesystem>
#include <optional>
#include <string>

#include "ConfigFixture.h"
#include "scenario_tag_loader.h"

namespace kavrel::test {

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
