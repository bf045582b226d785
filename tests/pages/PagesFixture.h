#pragma once
// Scratch HOME and a fresh collection context for page tests.

#include <string>

#include <gtest/gtest.h>

#include "CollectionContext.h"
#include "ConfigFixture.h"

namespace kavrel::test {

class PagesTest : public ScratchHomeTest {
protected:
    void SetUp() override
    {
        ScratchHomeTest::SetUp();
        CollectionContext::instance().setCollectionInfo(CollectionInfo{});
    }
    // A file in the current scenario set.
    std::string putInSet(const std::string& name, const std::string& content) const
    {
        return put(".config/kavrel/scenario/scenario_20250101_120000/" + name, content);
    }
};

} // namespace kavrel::test
