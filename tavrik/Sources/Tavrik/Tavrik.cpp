#include "Tavrik/Tavrik.h"

#include "Tavrik/CommandLine.h"
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
    if (command && lowercased(*command) == "devices") {
        listDevices(lowercased(subcommand.value_or("")));
        return;
    }
    InteractiveMode(input).run();
}

} // namespace tavrik
