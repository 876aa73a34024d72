#pragma once
// The program's command line: two optional positional words, help and version.

#include <optional>
#include <string>
#include <vector>

namespace tavrik {

inline constexpr const char* kCommandName = "kalvesta-recorder";
inline constexpr const char* kAbstract = "Screen recorder for Kalvesta";
inline constexpr const char* kVersion = "1.0.0";
// The banner shows its own version, distinct from the command-line version.
inline constexpr const char* kBannerVersion = "0.1.0";
// Exit status of a rejected command line (EX_USAGE).
inline constexpr int kUsageStatus = 64;


struct ParsedCommandLine {
    std::optional<std::string> command;
    std::optional<std::string> subcommand;
    // Set when the process ends during parsing (help, version, rejected line).
    std::optional<int> exitStatus;
    std::string standardOutput;
    std::string standardError;
};

// Parses the words after the program path.
ParsedCommandLine parseCommandLine(const std::vector<std::string>& words);

} // namespace tavrik
