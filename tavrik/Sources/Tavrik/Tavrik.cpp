#include "Tavrik/Tavrik.h"

#include "Tavrik/CommandLine.h"
#include "Tavrik/InfoCommands.h"
#include "Tavrik/DevicesCommand.h"
#include "Tavrik/InteractiveMode.h"
#include "Tavrik/Output.h"
#include "Tavrik/Text.h"

#include <string>

namespace tavrik {

void printBanner() {
    output()->writeLineUnflushed(std::string(kCommandName) + " v" + kBannerVersion);
}

void Tavrik::run(LineSource& input) const {
    // One-shot words answer once and return; no banner, no "ready".
    const std::string word = command ? lowercased(*command) : std::string();
    if (word == "devices") return listDevices(platform, lowercased(subcommand.value_or("")));
    if (word == "info") return handleInfo(subcommand.value_or(""));
    if (word == "infos") return handleInfos(subcommand.value_or(""));
    InteractiveMode(input, platform).run();
}

} // namespace tavrik
