#pragma once
// Pieces the MCAP and TUM exports share: refusing a damaged session, reading
// files, and depth images converted between units.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "SessionContent.h"
#include "SessionExport.h"

namespace session_export {

// A session's export under way: what it holds, and where the output goes.
struct Export {
    SessionContent content;
    std::string finalPath;  // outputPath()
    std::string temporary;  // written first, renamed to finalPath when whole
};

// A session that fails its checks and is not forced: nothing, with result.error
// saying so. Otherwise its content, with its notes and left-out list in result.
std::optional<Export> beginExport(const session_check::SessionReport& report, const Options& options, Format format,
    Result& result);

// Nothing was written: the temporary output (file or folder) is removed,
// result.error says why and the counts are dropped.
Result failed(Result& result, const std::string& temporary, const std::string& what, int code);

// False for a file that cannot be read or is larger than any a session holds
// (images are a few MB; frames.csv of an hour is under 20 MB).
bool readBytes(const std::string& path, std::string& bytes);

// Writes a whole file; 0 or the errno of the failing call.
int writeWholeFile(const std::string& path, const void* data, size_t size);

// Depth values from one unit to another, rounded; values the 16 bits of the
// new unit cannot hold become 0, "no measurement", and are counted.
class DepthScale {
public:
    DepthScale(double fromUnitM, double toUnitM);
    bool identity() const { return identity_; }
    // Converts in place; returns the number of pixels that became 0.
    size_t apply(cv::Mat& depth) const;

private:
    bool identity_ = true;
    std::vector<uint16_t> table_;
};

// A 16-bit grey PNG of the session, converted to `scale`; empty when it is not one.
cv::Mat readDepth(const std::string& path, const DepthScale& scale, size_t& outOfRange);

std::string plural(size_t count, const char* one, const char* many);

} // namespace session_export
