// The ledger's CSV text: what the reader accepts, and that every field
// survives a write and a read.

#include <gtest/gtest.h>

#include "dir_info.h"
#include "ledger_csv.h"

namespace {

const char* const kHeader = "dir_name,creat_date,size,type,status,succ_up_date\n";

} // namespace

TEST(LedgerCsv, EveryFieldSurvivesWriteAndRead)
{
    ledger_csv::table document;
    document.header = {"a", "b", "c"};
    document.rows = {
        {"with space", " both ends ", "a,b,c"},
        {"q\"uote", "\"starts", "ends\""},
        {"\"\"", "multi\nline\n", ""},
        {"cr\rinside", "tab\tx", "#not a comment"},
        {"", "", ""},
        {"中文/路径", "20240101-北京-场景/任务/3/20240101120000000", "\xEF\xBB\xBF"},
    };
    const std::string text = ledger_csv::format(document);
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find("\r\n"), std::string::npos);
    const ledger_csv::table back = ledger_csv::parse(text);
    EXPECT_EQ(back.header, document.header);
    EXPECT_EQ(back.rows, document.rows);
}

TEST(LedgerCsv, ReaderAcceptsWhatOtherToolsWrite)
{
    // Byte-order mark, CRLF ends, no final line feed.
    auto document = ledger_csv::parse("\xEF\xBB\xBF" "a,b\r\n1,2\r\n3,4");
    EXPECT_EQ(document.header, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(document.rows, (std::vector<std::vector<std::string>>{{"1", "2"}, {"3", "4"}}));

    // Quotes in the middle of a bare field are data; surrounding spaces stay.
    document = ledger_csv::parse("a,b\n x\"y ,\"q\"\"q\"\n");
    EXPECT_EQ(document.rows, (std::vector<std::vector<std::string>>{{" x\"y ", "q\"q"}}));

    // Empty lines are rows; a trailing separator is an empty last field.
    document = ledger_csv::parse("a,b\n\n1,\n");
    EXPECT_EQ(document.rows, (std::vector<std::vector<std::string>>{{""}, {"1", ""}}));
    document = ledger_csv::parse("a,b\n1,");
    EXPECT_EQ(document.rows, (std::vector<std::vector<std::string>>{{"1", ""}}));

    EXPECT_TRUE(ledger_csv::parse("").header.empty());
}

TEST(LedgerRecords, MalformedLedgersFailWhole)
{
    auto message = [](const std::string& text) {
        try {
            parse_dir_records(text);
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
        return std::string("loaded");
    };
    EXPECT_EQ(message(""), "column not found: dir_name");
    EXPECT_EQ(message("dir_name,creat_date,size,type,status\n"), "column not found: succ_up_date");
    // One bad row among good ones fails the whole load.
    const std::string good = "ok,1,2,采集,待上传,0\n";
    EXPECT_NE(message(kHeader + good + "short,1,2\n"), "loaded");
    EXPECT_NE(message(kHeader + good + "\"never closed,1\n"), "loaded") << "a cut-off quoted field";
    EXPECT_NE(message(kHeader + good + "\n"), "loaded") << "an empty line is a row that is too short";
    EXPECT_NE(message(kHeader + std::string("big,99999999999999999999,2,采集,待上传,0\n")), "loaded");
    EXPECT_NE(message(kHeader + std::string("empty,,2,采集,待上传,0\n")), "loaded");
}
