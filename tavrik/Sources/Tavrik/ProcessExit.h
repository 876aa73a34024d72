#pragma once
// Ending the process with status 0 once the program is done. In-process tests
// replace the action, since they must not end the test runner.

#include <functional>

namespace tavrik {

// Flushes standard output and ends the process with status 0 (or runs the
// replacement installed by a test). Any thread may call it, several at once: the
// first ends the process after the line being written, the others never return.
void exitProgram();
// The end of the program on the main queue, once the interactive mode has ended:
// a signal that arrived before is handled first (announced, and its exit taken),
// then the exit.
void exitAfterArrivedSignals();
// Replaces the exit action; an empty function restores the real exit.
void setExitAction(std::function<void()> action);

} // namespace tavrik
