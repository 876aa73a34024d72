#pragma once
// Splits one input line into the command word and its argument.

#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

struct CommandLineWords {
    std::string word;                     // lower-cased
    std::optional<std::string> argument;  // unchanged; absent when the line has no space
};

// Trims tabs and Unicode space separators, splits once at the first U+0020 and
// lower-cases the word. Absent for an empty or whitespace-only line.
std::optional<CommandLineWords> parseCommand(std::string_view line);

} // namespace tavrik
