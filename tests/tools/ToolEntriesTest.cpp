// How configured "scripts" elements become runnable tool entries.
#include <gtest/gtest.h>

#include "ToolsWidget.h"

namespace {

TEST(ToolEntries, CommandsSplitAsAShellDoesAndBareNamesLiveInUsrBin)
{
    struct Case {
        std::string cmd;
        QString program;
        QStringList arguments;
    };
    const Case cases[] = {
        {"backup.sh --all", "/usr/bin/backup.sh", {"--all"}},
        {"   fsck.sh   ", "/usr/bin/fsck.sh", {}},
        {"./tools/x.sh", "./tools/x.sh", {}},
        {"../x.sh", "../x.sh", {}},
        {"/opt/x.sh -v", "/opt/x.sh", {"-v"}},
        {"sync.sh    --dry-run     -n 3", "/usr/bin/sync.sh", {"--dry-run", "-n", "3"}},
        {R"("/opt/my tool.sh" "two words" plain)", "/opt/my tool.sh", {"two words", "plain"}},
        {"/bin/sh -c 'echo done; exit 0'", "/bin/sh", {"-c", "echo done; exit 0"}},
        {R"(/bin/echo 'it''s' "say \"hi\"" a\ b 'x"y')", "/bin/echo", {"its", "say \"hi\"", "a b", "x\"y"}},
    };
    for (const Case& c : cases) {
        const auto entries = makeToolEntries({{"Tool", c.cmd, ""}});
        ASSERT_EQ(entries.size(), 1u) << c.cmd;
        EXPECT_EQ(entries[0].program, c.program) << c.cmd;
        EXPECT_EQ(entries[0].arguments, c.arguments) << c.cmd;
        EXPECT_TRUE(entries[0].commandError.isEmpty()) << c.cmd;
    }
}

TEST(ToolEntries, ACommandThatDoesNotParseKeepsItsTabAndSaysWhy)
{
    const auto entries = makeToolEntries({
        {"Open", "/bin/sh -c 'echo done", ""},
        {"Substitution", "echo $(reboot)", ""},
        {"Pipe", "dmesg | tail", ""},
    });
    ASSERT_EQ(entries.size(), 3u);
    for (const ToolEntry& entry : entries) {
        EXPECT_TRUE(entry.program.isEmpty()) << entry.name.toStdString();
        EXPECT_TRUE(entry.commandError.startsWith("命令无法解析: ")) << entry.commandError.toStdString();
        EXPECT_TRUE(entry.description.contains(entry.commandError)) << "shown in the tab's log view";
    }
    EXPECT_TRUE(entries[1].commandError.contains("命令替换")) << "never runs the substitution";
}

TEST(ToolEntries, NamelessOrCommandlessElementsAreDroppedOthersKeepOrderAndDescription)
{
    const auto entries = makeToolEntries({
        {"", "a.sh", ""}, {"First", "  backup.sh --all  ", ""}, {"NoCommand", "", ""}, {"   ", "b.sh", ""},
        {"  Second  ", "second.sh", "清理缓存"}, {"Blank", "    ", ""}, {"EmptyQuotes", "\"\"", ""},
        {"Third", "echo.sh %1 %2", ""},
    });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].name, "Second");
    EXPECT_EQ(entries[1].description, "清理缓存");
    // The command is inserted verbatim, placeholders in it are not refilled.
    EXPECT_EQ(entries[2].description, "执行命令: echo.sh %1 %2");
}

} // namespace
