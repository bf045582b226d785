#pragma once
// A scratch HOME with an empty user directory, for catalogue tests.

#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "Log.h"
#include "TestSupport.h"
#include "config_manager.h"
#include "scenario_tag_loader.h"

namespace kavrel::test {

class CatalogueTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.isValid());
        config_manager::instance().resetForTest();
    }
    void TearDown() override { config_manager::instance().resetForTest(); }

    std::string put(const std::string& relative, const std::string& content) const
    {
        return scratch_.put(relative, content);
    }

    bool load(const std::string& scenario, const std::string& tags = {})
    {
        error_.clear();
        return scenario_tag_loader::load_task_preview(scenario, tags, result_, &error_);
    }

    ScratchHome scratch_;
    const std::string home_ = scratch_.path();
    const std::string userDir_ = scratch_.userDir();
    task_preview_load_result result_;
    std::string error_;
    kavrel::log::LogCapture log_;
};

} // namespace kavrel::test
