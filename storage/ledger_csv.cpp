#include "ledger_csv.h"

namespace ledger_csv {
namespace {

constexpr char kSeparator = ',';
constexpr char kQuote = '"';

bool needs_quotes(std::string_view field)
{
    if (!field.empty() && field.front() == kQuote)
        return true;
    return field.find_first_of(", \n") != std::string_view::npos;
}

} // namespace

table parse(std::string_view text)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);

    std::vector<std::vector<std::string>> lines;
    std::vector<std::string> fields;
    std::string field;
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        // At the start of a field.
        if (text[i] == kQuote) {
            ++i;
            bool closed = false;
            while (i < n) {
                const char c = text[i++];
                if (c != kQuote) {
                    field += c;
                } else if (i < n && text[i] == kQuote) {
                    field += kQuote;
                    ++i;
                } else {
                    closed = true;
                    break;
                }
            }
            if (!closed)
                throw parse_error("unterminated quoted field in line " + std::to_string(lines.size() + 1));
        }
        // Bare text, or what follows a closing quote, up to the field's end.
        bool line_end = false;
        while (i < n) {
            const char c = text[i];
            if (c == kSeparator) {
                ++i;
                break;
            }
            if (c == '\n' || (c == '\r' && i + 1 < n && text[i + 1] == '\n')) {
                i += (c == '\r') ? 2 : 1;
                line_end = true;
                break;
            }
            field += c;
            ++i;
        }
        fields.push_back(std::move(field));
        field.clear();
        if (line_end || i >= n) {
            // A separator as the very last character leaves one more empty field.
            if (!line_end && i >= n && text.back() == kSeparator)
                fields.emplace_back();
            lines.push_back(std::move(fields));
            fields.clear();
        }
    }

    table document;
    if (!lines.empty()) {
        document.header = std::move(lines.front());
        document.rows.assign(std::make_move_iterator(lines.begin() + 1), std::make_move_iterator(lines.end()));
    }
    return document;
}

void append_field(std::string& out, std::string_view field)
{
    if (!needs_quotes(field)) {
        out.append(field);
        return;
    }
    out += kQuote;
    for (const char c : field) {
        if (c == kQuote)
            out += kQuote;
        out += c;
    }
    out += kQuote;
}

void append_line(std::string& out, const std::vector<std::string>& fields)
{
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += kSeparator;
        append_field(out, fields[i]);
    }
    out += '\n';
}

std::string format(const table& document)
{
    std::string out;
    append_line(out, document.header);
    for (const auto& row : document.rows)
        append_line(out, row);
    return out;
}

} // namespace ledger_csv
