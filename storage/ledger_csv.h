#pragma once
// A small CSV reader and writer for the ledger file.
//
// Writing: fields are separated by ',', every line ends with '\n'. A field
// holding a comma, a space or a line feed is put in double quotes with each
// quote inside doubled; so is a field that starts with a quote, which would
// otherwise read back as a quoted field. Everything else is written bare.
//
// Reading: a field is quoted only when its first character is '"'; inside
// it "" stands for one quote and separators and line feeds are data. A quote
// in the middle of a bare field is data. Spaces are kept. A leading UTF-8
// byte-order mark is skipped and "\r\n" line ends are accepted; a lone '\r'
// is data. Empty lines are rows with one empty field.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ledger_csv {

struct table {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;
};

class parse_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws parse_error for an unterminated quoted field (a cut-off file).
table parse(std::string_view text);

// Appends one field, quoted when it has to be.
void append_field(std::string& out, std::string_view field);
void append_line(std::string& out, const std::vector<std::string>& fields);
std::string format(const table& document);

} // namespace ledger_csv
