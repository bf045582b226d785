#include "CaptureMode.h"

std::optional<CaptureMode> parseCaptureMode(std::string_view text)
{
    if (text == "single_shot")
        return CaptureMode::SingleShot;
    // The information page's manual choice has long been written "continuous_shot".
    if (text == "continue_shot" || text == "continuous_shot")
        return CaptureMode::ContinueShot;
    if (text == "continue_record")
        return CaptureMode::ContinueRecord;
    return std::nullopt;
}

CaptureMode captureModeOf(std::string_view text)
{
    return parseCaptureMode(text).value_or(CaptureMode::SingleShot);
}

const char* captureModeText(CaptureMode mode)
{
    switch (mode) {
    case CaptureMode::SingleShot: return "single_shot";
    case CaptureMode::ContinueShot: return "continue_shot";
    case CaptureMode::ContinueRecord: return "continue_record";
    }
    return "single_shot";
}
