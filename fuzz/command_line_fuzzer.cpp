// The program's command line and its command input: the words after the program
// path, and bytes on standard input read as lines and parsed into commands.
//
// Input: a selector byte, then the text. Even selector: the text, split at NUL
// bytes, is the list of command-line words. Odd selector: the text is the command
// input, read through the line source with a small line cap so that over-long
// lines are common.

#include "Tavrik/CommandLine.h"
#include "Tavrik/CommandParser.h"
#include "Tavrik/LineSource.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void fuzzCommandLine(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    for (size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        words.push_back(text.substr(start, end - start));
    }
    words.push_back(text.substr(start));
    auto parsed = tavrik::parseCommandLine(words);
    if (parsed.exitStatus) {
        check(*parsed.exitStatus == 0 || *parsed.exitStatus == tavrik::kUsageStatus);
        // A rejected line explains itself on standard error and nowhere else.
        if (*parsed.exitStatus == tavrik::kUsageStatus) check(!parsed.standardError.empty());
    }
}

void fuzzCommandInput(std::string text) {
    constexpr size_t kCap = 64;
    std::FILE* stream = fmemopen(text.data(), text.size(), "r");
    if (!stream) return;
    tavrik::StreamLineSource source(stream, kCap);
    while (auto line = source.nextLine()) {
        check(line->size() <= kCap);
        check(line->find('\n') == std::string::npos);
        if (source.lastLineTooLong()) continue;  // refused whole, never parsed
        if (auto command = tavrik::parseCommand(*line)) {
            check(!command->word.empty());
            check(command->word.find(' ') == std::string::npos);
            if (command->argument) check(!command->argument->empty());
        }
    }
    std::fclose(stream);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] % 2 == 0) fuzzCommandLine(text);
    else fuzzCommandInput(std::move(text));
    return 0;
}
