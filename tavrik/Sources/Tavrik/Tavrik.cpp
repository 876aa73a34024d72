#include "Tavrik/Tavrik.h"

#include "Tavrik/CommandLine.h"
#include "Tavrik/InteractiveMode.h"
#include "Tavrik/Output.h"

#include <string>

namespace tavrik {

void printBanner() {
    output()->writeLineUnflushed(std::string(kCommandName) + " v" + kBannerVersion);
}

void Tavrik::run(LineSource& input) const {
    InteractiveMode(input).run();
}

} // namespace tavrik
