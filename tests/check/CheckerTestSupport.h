#pragma once
// Checker reports read in tests, and session copies to damage.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "SaveTestSupport.h"
#include "SessionCheck.h"

namespace check_test {

// Whether the report has a problem of `kind` whose "<file>: <detail>" holds `text`.
inline bool hasProblem(const session_check::SessionReport& report, session_check::ProblemKind kind,
    const std::string& text = {})
{
    for (const auto& problem : report.problems)
        if (problem.kind == kind && (problem.file + ": " + problem.detail).find(text) != std::string::npos)
            return true;
    return false;
}

// The report as kavrel-check prints it.
inline std::string describe(const session_check::SessionReport& report)
{
    std::string text = session_check::summaryLine(report);
    for (const auto& line : session_check::detailLines(report))
        text += "\n" + line;
    return text;
}

// Rewrites a text file line by line through `edit`.
inline void editLines(const std::string& file, const std::function<void(std::vector<std::string>&)>& edit)
{
    auto lines = save_test::lines(kavrel::test::readFile(file));
    edit(lines);
    std::string text;
    for (const auto& line : lines)
        text += line + "\n";
    kavrel::test::writeFile(file, text);
}

// A fresh copy of `session` at `copy` (its parents made, an older copy replaced).
inline std::string copySession(const std::string& session, const std::string& copy)
{
    std::filesystem::remove_all(copy);
    std::filesystem::create_directories(std::filesystem::path(copy).parent_path());
    std::filesystem::copy(session, copy, std::filesystem::copy_options::recursive);
    return copy;
}

} // namespace check_test
