#include "dir_info.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "ledger_csv.h"

namespace {

const std::array<const char*, 6> kColumns = {
    "dir_name", "creat_date", "size", "type", "status", "succ_up_date"};

// Leading digits are taken ("12 GB" reads as 12); no digits at all, or a
// value beyond 64 bits, is an error.
int64_t parse_integer(const std::string& text, const char* column, std::size_t row)
{
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        throw std::runtime_error(std::string("not a number in column ") + column + ", row " +
            std::to_string(row + 1) + ": \"" + text + "\"");
    }
}

} // namespace

bool dir_info::operator==(const dir_info& other) const
{
    return dir_name == other.dir_name && creat_date == other.creat_date && size == other.size &&
        type == other.type && status == other.status && succ_up_date == other.succ_up_date;
}

std::vector<dir_info> parse_dir_records(std::string_view csv_text)
{
    const ledger_csv::table document = ledger_csv::parse(csv_text);

    std::array<std::size_t, kColumns.size()> index{};
    for (std::size_t c = 0; c < kColumns.size(); ++c) {
        const auto found = std::find(document.header.begin(), document.header.end(), kColumns[c]);
        if (found == document.header.end())
            throw std::runtime_error(std::string("column not found: ") + kColumns[c]);
        index[c] = static_cast<std::size_t>(found - document.header.begin());
    }
    const std::size_t needed = *std::max_element(index.begin(), index.end()) + 1;

    std::vector<dir_info> records;
    records.reserve(document.rows.size());
    for (std::size_t r = 0; r < document.rows.size(); ++r) {
        const auto& row = document.rows[r];
        if (row.size() < needed)
            throw std::runtime_error("row " + std::to_string(r + 1) + " has " + std::to_string(row.size()) +
                " fields, " + std::to_string(needed) + " needed");
        dir_info info;
        info.dir_name = row[index[0]];
        info.creat_date = parse_integer(row[index[1]], kColumns[1], r);
        info.size = parse_integer(row[index[2]], kColumns[2], r);
        info.type = row[index[3]];
        info.status = row[index[4]];
        info.succ_up_date = parse_integer(row[index[5]], kColumns[5], r);
        records.push_back(std::move(info));
    }
    return records;
}

std::string format_dir_records(const std::vector<dir_info>& records)
{
    ledger_csv::table document;
    document.header.assign(kColumns.begin(), kColumns.end());
    document.rows.reserve(records.size());
    for (const dir_info& info : records) {
        document.rows.push_back({info.dir_name, std::to_string(info.creat_date), std::to_string(info.size),
            info.type, info.status, std::to_string(info.succ_up_date)});
    }
    return ledger_csv::format(document);
}
