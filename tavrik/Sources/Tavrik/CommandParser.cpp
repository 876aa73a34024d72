#include "Tavrik/CommandParser.h"

#include "Tavrik/Text.h"

namespace tavrik {

std::optional<CommandLineWords> parseCommand(std::string_view line) {
    std::string trimmed = trimmedSpaces(line);
    if (trimmed.empty()) return std::nullopt;
    CommandLineWords result;
    auto space = trimmed.find(' ');
    if (space == std::string::npos) {
        result.word = lowercased(trimmed);
    } else {
        // Trimming leaves no space at either end, so both pieces are non-empty.
        result.word = lowercased(std::string_view(trimmed).substr(0, space));
        result.argument = trimmed.substr(space + 1);
    }
    return result;
}

} // namespace tavrik
