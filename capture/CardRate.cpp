#include "CardRate.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "AtomicFile.h"
#include "BacklogStatus.h"
#include "Log.h"

namespace card_rate {

std::string fileBeside(const std::string& ledgerFile)
{
    if (ledgerFile.empty())
        return {};
    return (std::filesystem::path(ledgerFile).parent_path() / "card_rate.json").lexically_normal().string();
}

std::optional<double> load(const std::string& file, const std::string& storageRoot)
{
    std::ifstream in(file);
    if (!in)
        return std::nullopt;
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json stored = nlohmann::json::parse(text.str(), nullptr, false);
    if (!stored.is_object() || !stored.contains("storage_root") || !stored["storage_root"].is_string()
        || !stored.contains("bytes_per_second") || !stored["bytes_per_second"].is_number()) {
        LOGW << "Ignoring the stored card write rate in " << file << ": not what this terminal writes";
        return std::nullopt;
    }
    const double rate = stored["bytes_per_second"].get<double>();
    if (stored["storage_root"].get<std::string>() != storageRoot || !std::isfinite(rate) || rate <= 0)
        return std::nullopt;
    return rate;
}

bool save(const std::string& file, const std::string& storageRoot, double bytesPerSecond)
{
    const nlohmann::json stored = {{"storage_root", storageRoot}, {"bytes_per_second", std::llround(bytesPerSecond)}};
    const auto result = atomic_file::replace(file, stored.dump(2) + "\n");
    if (!result) {
        LOGW << "Could not keep the card write rate in " << file << ": " << atomic_file::errorText(result.error);
        return false;
    }
    LOGI << "Card write rate " << bytesPerSecond / 1e6 << " MB/s kept in " << file;
    return true;
}

QString shortfallText(double neededBytesPerSecond, double cardBytesPerSecond)
{
    if (cardBytesPerSecond <= 0 || neededBytesPerSecond <= cardBytesPerSecond)
        return {};
    const double growthPerMinute = (neededBytesPerSecond - cardBytesPerSecond) * 60.0;
    return QString::fromUtf8("存储卡写入 %1, 本任务需要 %2: 每分钟积压约 %3 MB")
        .arg(megabytesPerSecondText(cardBytesPerSecond), megabytesPerSecondText(neededBytesPerSecond))
        .arg(static_cast<qint64>(std::llround(growthPerMinute / 1e6)));
}

} // namespace card_rate
