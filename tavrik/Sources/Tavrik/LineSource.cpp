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
    bool readAnything = false;
    bool cut = false;
    int c;
    while ((c = getc_unlocked(stream_)) != EOF) {
        readAnything = true;
        if (c == '\n') {
            if (!cut) line += '\n';
            break;
        }
        if (line.size() < maxLineBytes_) {
            line += static_cast<char>(c);
        } else {
            cut = true;
        }
    }
    lastLineTooLong_ = cut;
    if (!readAnything) return std::nullopt;
    return withoutTerminator(std::move(line));
}

} // namespace tavrik
