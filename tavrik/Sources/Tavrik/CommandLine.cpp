#include "Tavrik/CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>

namespace tavrik {

ParsedCommandLine parseCommandLine(const std::vector<std::string>& words) {
    CLI::App app(kAbstract, kCommandName);
    app.set_help_flag("-h,--help", "Show help information.");
    app.set_version_flag("--version", std::string(kVersion), "Show the version.");

    std::string command;
    std::string subcommand;
    auto* commandOption = app.add_option("command", command, "Optional command: 'devices', 'mic', 'webcam'");
    auto* subcommandOption =
        app.add_option("subcommand", subcommand, "Optional subcommand: 'screens', 'windows', 'audios', 'webcams'");

    ParsedCommandLine result;
    // CLI11 consumes the arguments from the back.
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        result.exitStatus = 0;
        result.standardOutput = app.help();
        return result;
    } catch (const CLI::CallForVersion& version) {
        result.exitStatus = 0;
        result.standardOutput = std::string(version.what()) + "\n";
        return result;
    } catch (const CLI::ParseError& error) {
        result.exitStatus = kUsageStatus;
        result.standardError = std::string("Error: ") + error.what() + "\n" +
                               "Usage: " + kCommandName + " [OPTIONS] [command] [subcommand]\n" +
                               "  See '" + kCommandName + " --help' for more information.\n";
        return result;
    }
    if (commandOption->count() > 0) result.command = command;
    if (subcommandOption->count() > 0) result.subcommand = subcommand;
    return result;
}

} // namespace tavrik
