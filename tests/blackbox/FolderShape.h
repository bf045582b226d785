#pragma once
// A session folder as text that two recordings of the same operator path
// share: every file, with the times that differ between recordings (image
// stems, dates, device and host times, hashes, sizes) replaced by their
// order or their kind, and the rest of every value kept.

#include <filesystem>
#include <string>

namespace kavrel::test {

// exactCounts false: the number of frame sets (and IMU lines) depends on how
// long the camera ran, so only "some" is kept.
std::string folderShape(const std::filesystem::path& session, bool exactCounts);

} // namespace kavrel::test
