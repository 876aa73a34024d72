#include "Tavrik/LineSource.h"

#include <cerrno>
#include <cstdio>

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
    while (true) {
        const int c = getc_unlocked(stream_);
        if (c == EOF) {
            // A signal arriving while the read waits interrupts it: that is no end of input
            // (taken for one, the program would exit before the signal is handled).
            if (std::ferror(stream_) && errno == EINTR) {
                std::clearerr(stream_);
                continue;
            }
            break;
        }
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
