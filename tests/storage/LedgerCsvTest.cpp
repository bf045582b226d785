// The ledger's CSV text: what the writer produces byte for byte, what the
// reader accepts, and that every field survives a write and a read.

#include <gtest/gtest.h>

#include "dir_info.h"
#include "ledger_csv.h"

namespace {

const char* const kHeader = "dir_name,creat_date,size,type,status,succ_up_date\n";

dir_info row(std::string name, int64_t date = 1700000000, int64_t size = 42, std::string type = "采集",
    std::string status = kStatusWaitingUpload, int64_t uploaded = 0)
{
    dir_info info;
    info.dir_name = std::move(name);
    info.creat_date = date;
    info.size = size;
    info.type = std::move(type);
    info.status = std::move(status);
    info.succ_up_date = uploaded;
    return info;
}

} // namespace

TEST(LedgerCsv, QuotesOnlyFieldsWithCommaSpaceLineFeedOrLeadingQuote)
{
    std::string out;
    ledger_csv::append_line(out, {"plain", "a b", "a,b", "x\"y", "say \"hi\"", "line\nfeed", "\"lead", "", "中文"});
    EXPECT_EQ(out, "plain,\"a b\",\"a,b\",x\"y,\"say \"\"hi\"\"\",\"line\nfeed\",\"\"\"lead\",,中文\n");
}

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

TEST(LedgerCsv, CutOffQuotedFieldIsAnError)
{
    EXPECT_THROW(ledger_csv::parse("a,b\n\"never closed,1\n"), ledger_csv::parse_error);
}

TEST(LedgerRecords, WritesHeaderInFixedOrderAndOneLinePerRow)
{
    const std::string text =
        format_dir_records({row("20240101-bj-s/t/0/1", 1700000000, 42), row("a b,c", 5, 0, "采 集", kStatusCompleted, 1700000100)});
    EXPECT_EQ(text, std::string(kHeader) + "20240101-bj-s/t/0/1,1700000000,42,采集,待上传,0\n" +
        "\"a b,c\",5,0,\"采 集\",已完成,1700000100\n");
    EXPECT_EQ(format_dir_records({}), kHeader);
}

TEST(LedgerRecords, RowsReadBackIdentically)
{
    const std::vector<dir_info> rows = {
        row("a,b"), row("with space", -1, 0), row("quote\"inside"), row("\"leading quote"),
        row("x", INT64_MAX, INT64_MIN, "", "", 9), row("nested/dir/with, comma/20240101120000000"),
    };
    EXPECT_EQ(parse_dir_records(format_dir_records(rows)), rows);
}

TEST(LedgerRecords, ColumnsAreFoundByName)
{
    const auto rows = parse_dir_records(
        "status,extra,succ_up_date,type,size,dir_name,creat_date\n"
        "已完成,junk,17,采集,99,\"s 1\",1600000000\n");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], row("s 1", 1600000000, 99, "采集", kStatusCompleted, 17));
    // Saving writes the fixed order and leaves the extra column out.
    EXPECT_EQ(format_dir_records(rows), std::string(kHeader) + "\"s 1\",1600000000,99,采集,已完成,17\n");
}

TEST(LedgerRecords, HeaderOnlyIsAnEmptyLedger)
{
    EXPECT_TRUE(parse_dir_records(kHeader).empty());
    EXPECT_TRUE(parse_dir_records("\xEF\xBB\xBF" "dir_name,creat_date,size,type,status,succ_up_date").empty());
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
    EXPECT_NE(message(kHeader + good + "bad,abc,2,采集,待上传,0\n" + good), "loaded");
    EXPECT_NE(message(kHeader + good + "short,1,2\n"), "loaded");
    EXPECT_NE(message(kHeader + good + "\n"), "loaded") << "an empty line is a row that is too short";
    EXPECT_NE(message(kHeader + std::string("big,99999999999999999999,2,采集,待上传,0\n")), "loaded");
    EXPECT_NE(message(kHeader + std::string("empty,,2,采集,待上传,0\n")), "loaded");
}

TEST(LedgerRecords, IntegersTakeTheLeadingDigits)
{
    const auto rows = parse_dir_records(std::string(kHeader) + "d,12abc, 7,t,s,-3\n");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].creat_date, 12);
    EXPECT_EQ(rows[0].size, 7);
    EXPECT_EQ(rows[0].succ_up_date, -3);
}
