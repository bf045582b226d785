// How configured "scripts" elements become runnable tool entries.
#include <tuple>

#include <gtest/gtest.h>

#include "ToolsWidget.h"

namespace {

TEST(ToolEntries, CommandsSplitAsAShellDoesAndBareNamesLiveInUsrBin)
{
    for (const auto& [cmd, program, arguments] : std::vector<std::tuple<std::string, QString, QStringList>>{
             {"backup.sh --all", "/usr/bin/backup.sh", {"--all"}},
             {"   fsck.sh   ", "/usr/bin/fsck.sh", {}},
             {"./tools/x.sh", "./tools/x.sh", {}},
             {"sync.sh    --dry-run     -n 3", "/usr/bin/sync.sh", {"--dry-run", "-n", "3"}},
             {R"("/opt/my tool.sh" "two words" plain)", "/opt/my tool.sh", {"two words", "plain"}},
             {"/bin/sh -c 'echo done; exit 0'", "/bin/sh", {"-c", "echo done; exit 0"}},
             {R"(/bin/echo 'it''s' "say \"hi\"" a\ b 'x"y')", "/bin/echo", {"its", "say \"hi\"", "a b", "x\"y"}},
         }) {
        const auto entries = makeToolEntries({{"Tool", cmd, ""}});
        ASSERT_EQ(entries.size(), 1u) << cmd;
        EXPECT_EQ(entries[0].program, program) << cmd;
        EXPECT_EQ(entries[0].arguments, arguments) << cmd;
        EXPECT_TRUE(entries[0].commandError.isEmpty()) << cmd;
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

} // namespace
