#pragma once
// Which folders are capture sessions. The ledger (sessions without a row after
// a power cut), the records page and the checker all find sessions with these
// two functions, so a folder is a session to all of them or to none.

#include <string>
#include <string_view>
#include <vector>

namespace session_folder {

// A session folder as the save worker leaves it, even when a run ended
// early: it holds meta.yaml, manifest.json or data.json (of any kind: a
// damaged or linked one still makes a session to report), or a device
// folder with color/ or depth/, or its name is a session time.
bool isSession(const std::string& path);

// "20250612_143015", optionally with "_<n>" when two sessions shared a second.
bool looksLikeSessionTime(std::string_view name);

// Session folders at or below `path` (a session itself is returned alone),
// descending at most `maxDepth` levels and never through a link, sorted.
// Sessions lie date/task/part/session deep below the storage root.
inline constexpr int kStorageRootDepth = 4;
std::vector<std::string> findBelow(const std::string& path, int maxDepth);

} // namespace session_folder
