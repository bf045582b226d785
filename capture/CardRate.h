#pragma once
// The card's sustained write rate, kept between recordings in the terminal's
// state folder (beside the ledger): measured on what the save worker wrote,
// never with a test file. Before a recording the capture page compares it
// with what the task's streams need.

#include <optional>
#include <string>

#include <QString>

namespace card_rate {

// Where the rate is kept: beside the ledger, as the terminal's state, not a
// session's ("" when there is no ledger: not kept).
std::string fileBeside(const std::string& ledgerFile);

// A run teaches something about the card only once it wrote this much.
constexpr unsigned long long minBytesMeasured = 8ull << 20;

// The rate stored for this storage root; nullopt when none (or another card's).
std::optional<double> load(const std::string& file, const std::string& storageRoot);
// Replaces the stored rate; false (logged) when the file cannot be written.
bool save(const std::string& file, const std::string& storageRoot, double bytesPerSecond);

// Empty when the card keeps up with neededBytesPerSecond; otherwise the
// warning with the backlog that grows per minute of recording.
QString shortfallText(double neededBytesPerSecond, double cardBytesPerSecond);

} // namespace card_rate
