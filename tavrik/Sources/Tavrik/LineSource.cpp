#include "Tavrik/LineSource.h"

namespace tavrik {

std::string withoutTerminator(std::string line) {
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
    }
    return line;
}

std::optional<std::string> StreamLineSource::nextLine() {
    std::string line;
    int c;
    while ((c = std::getc(stream_)) != EOF) {
        line += static_cast<char>(c);
        if (c == '\n') break;
    }
    if (line.empty()) return std::nullopt;
    return withoutTerminator(std::move(line));
}

} // namespace tavrik
