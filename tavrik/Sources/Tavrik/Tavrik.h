#pragma once
// The root command: one-shot queries or the interactive mode.

#include "platform/platform.h"

#include <cstdio>
#include <optional>
#include <string>

namespace tavrik {

class LineSource;

struct Tavrik {
    std::optional<std::string> command;
    std::optional<std::string> subcommand;
    // What the program records, previews and lists with.
    platform::Platform& platform;

    // Runs the one-shot query named by `command`, or the interactive mode reading
    // commands from `input`. Never fails; the process exits with status 0 after it.
    void run(LineSource& input) const;
};

// The banner line that opens the interactive mode, not flushed by itself.
void printBanner();

} // namespace tavrik
