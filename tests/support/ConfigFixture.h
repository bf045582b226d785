#pragma once
// Fixtures for tests that touch the configuration singleton: every test starts
// and ends with a fresh one. ScratchHomeTest adds a throw-away HOME (set as
// $HOME for the test) with files put below it, and captures the log.

#include <string>

#include <gtest/gtest.h>

#include "Log.h"
#include "TestSupport.h"
#include "config_manager.h"

namespace kavrel::test {

class FreshConfigTest : public ::testing::Test {
protected:
    void SetUp() override { config_manager::instance().resetForTest(); }
    void TearDown() override { config_manager::instance().resetForTest(); }
};

class ScratchHomeTest : public FreshConfigTest {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch_.isValid());
        FreshConfigTest::SetUp();
    }
    // Writes `content` below the scratch HOME and returns the full path.
    std::string put(const std::string& relative, const std::string& content) const
    {
        return scratch_.put(relative, content);
    }

    ScratchHome scratch_;
    const std::string home_ = scratch_.path();
    const std::string userDir_ = scratch_.userDir();
    kavrel::log::LogCapture log_;
};

} // namespace kavrel::test
