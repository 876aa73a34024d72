#pragma once
// The "info" and "infos" commands: probe media files and answer with one bare
// JSON line (an object, or an array of them), used by both modes.

#include <string>

namespace tavrik {

// Probes one path (unchanged; the prober trims it). An empty path answers an
// "error" event instead.
void handleInfo(const std::string& path);
// Probes the comma-separated paths at once. Empty pieces are dropped, blank
// ones kept as empty paths. An empty text answers an "error" event instead.
void handleInfos(const std::string& pathsStr);

} // namespace tavrik
