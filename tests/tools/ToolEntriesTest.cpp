// How configured "scripts" elements become runnable tool entries.
#include <gtest/gtest.h>

#include "ToolsWidget.h"

namespace {

script_entry script(std::string name, std::string cmd, std::string description = {})
{
    return script_entry{std::move(name), std::move(cmd), std::move(description)};
}

TEST(ToolEntries, ProgramPathFollowsTheUsrBinRuleForBareNamesOnly)
{
    const auto entries = makeToolEntries({
        script("Backup", "backup.sh --all"),
        script("Local", "./tools/x.sh"),
        script("Absolute", "/opt/x.sh -v"),
        script("Parent", "../x.sh"),
        script("Padded", "   fsck.sh   "),
    });
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].program, "/usr/bin/backup.sh");
    EXPECT_EQ(entries[0].arguments, QStringList{"--all"});
    EXPECT_EQ(entries[1].program, "./tools/x.sh");
    EXPECT_TRUE(entries[1].arguments.isEmpty());
    EXPECT_EQ(entries[2].program, "/opt/x.sh");
    EXPECT_EQ(entries[2].arguments, QStringList{"-v"});
    EXPECT_EQ(entries[3].program, "../x.sh");
    EXPECT_EQ(entries[4].program, "/usr/bin/fsck.sh");
    EXPECT_TRUE(entries[4].arguments.isEmpty());
}

TEST(ToolEntries, CommandLinesSplitLikeAShell)
{
    const auto entries = makeToolEntries({
        script("Quoted", R"("/opt/my tool.sh" "two words" plain)"),
        script("Spaced", "sync.sh    --dry-run     -n 3"),
    });
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].program, "/opt/my tool.sh");
    EXPECT_EQ(entries[0].arguments, (QStringList{"two words", "plain"}));
    EXPECT_EQ(entries[1].program, "/usr/bin/sync.sh");
    EXPECT_EQ(entries[1].arguments, (QStringList{"--dry-run", "-n", "3"}));
}

TEST(ToolEntries, ElementsWithoutNameOrCommandAreDroppedOthersKeepTheirOrder)
{
    const auto entries = makeToolEntries({
        script("", "a.sh"),
        script("First", "first.sh"),
        script("NoCommand", ""),
        script("   ", "b.sh"),
        script("  Second  ", "second.sh"),
        script("Blank", "    "),
        script("EmptyQuotes", "\"\""),
        script("Third", "third.sh"),
    });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "First");
    EXPECT_EQ(entries[1].name, "Second");
    EXPECT_EQ(entries[2].name, "Third");
    EXPECT_TRUE(makeToolEntries({}).empty());
}

TEST(ToolEntries, DescriptionFallsBackToTheTrimmedCommandLine)
{
    const auto entries = makeToolEntries({
        script("Backup", "  backup.sh --all  "),
        script("Clean", "clean.sh", "清理缓存"),
        script("Percent", "echo.sh %1 %2"),
    });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].description, "执行命令: backup.sh --all");
    EXPECT_EQ(entries[1].description, "清理缓存");
    // The command is inserted verbatim, placeholders in it are not refilled.
    EXPECT_EQ(entries[2].description, "执行命令: echo.sh %1 %2");
}

} // namespace
