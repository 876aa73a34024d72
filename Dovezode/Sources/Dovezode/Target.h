#pragma once
// What a recording captures.

namespace Dovezode {

enum class Target {
    screen,     // one display; the target id is its number in decimal
    window,     // one window; the target id is its number in decimal
    lumbra,     // an attached iOS device; the target id is its unique id
    audioOnly,  // no picture: the main file is an audio file
};

} // namespace Dovezode
