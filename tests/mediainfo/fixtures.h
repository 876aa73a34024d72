#pragma once
// Media files made on demand with the ffmpeg tool into one fresh temporary
// directory per test process (removed when the process ends), plus helpers to
// ask ffprobe about them.

#include <nlohmann/json.hpp>

#include <string>

namespace fixtures {

// The path of the named fixture, made on first use. Names: see fixtures.cpp.
const std::string& path(const std::string& name);
// The process's temporary directory.
const std::string& directory();
// Runs a shell command; returns its standard output, or throws when it fails.
std::string run(const std::string& command);
// ffprobe's -show_streams -show_format (and counted frames) as JSON.
nlohmann::json ffprobe(const std::string& file);
std::string shellQuoted(const std::string& text);

} // namespace fixtures
