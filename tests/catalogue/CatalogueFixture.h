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
        ASSERT_TRUE(dir_.isValid());
        home_ = dir_.path().toStdString();
        userDir_ = home_ + "/.config/kavrel";
        std::filesystem::create_directories(userDir_);
        homeEnv_.emplace("HOME", home_);
        config_manager::instance().resetForTest();
    }
    void TearDown() override { config_manager::instance().resetForTest(); }

    // Writes `content` below the scratch HOME and returns the full path.
    std::string put(const std::string& relative, const std::string& content) const
    {
        const std::string path = home_ + "/" + relative;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        writeFile(path, content);
        return path;
    }

    bool load(const std::string& scenario, const std::string& tags = {})
    {
        error_.clear();
        return scenario_tag_loader::load_task_preview(scenario, tags, result_, &error_);
    }

    QTemporaryDir dir_;
    std::string home_;
    std::string userDir_;
    std::optional<ScopedEnv> homeEnv_;
    task_preview_load_result result_;
    std::string error_;
    kavrel::log::LogCapture log_;
};

} // namespace kavrel::test
