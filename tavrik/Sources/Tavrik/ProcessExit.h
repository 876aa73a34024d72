#pragma once
// Ending the process with status 0 once the program is done. In-process tests
// replace the action, since they must not end the test runner.

#include <functional>

namespace tavrik {

// Flushes standard output and ends the process with status 0 (or runs the
// replacement installed by a test).
void exitProgram();
// Replaces the exit action; an empty function restores the real exit.
void setExitAction(std::function<void()> action);

} // namespace tavrik
