// Process entry of the recorder program: parses the command line on the main
// thread, runs the program on a worker thread and serves the main queue on the
// main thread until the program has finished.

#include "Tavrik/CommandLine.h"
#include "Tavrik/LineSource.h"
#include "Tavrik/ProcessExit.h"
#include "Tavrik/Tavrik.h"

#include "platform/linux/linux_platform.h"
#include "platform/queues.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <pthread.h>

namespace {

// The handled signals go to the main thread alone: every other thread, started from
// here on, inherits a mask that blocks them. So an arrival interrupts the thread that
// serves the main queue before it runs anything queued after it, and the program's
// exit there always sees a signal that came before it.
void blockHandledSignals(int how) {
    sigset_t handled;
    sigemptyset(&handled);
    for (int number : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, number);
    pthread_sigmask(how, &handled, nullptr);
}

} // namespace

int main(int argc, char** argv) {
    blockHandledSignals(SIG_BLOCK);
    // A host that closes its end of the pipe must not kill the program mid-write.
    std::signal(SIGPIPE, SIG_IGN);
    // Nor must a file-size limit (ulimit -f): a write beyond it then fails with EFBIG,
    // which the writer of that file reports like a full disk.
    std::signal(SIGXFSZ, SIG_IGN);

    std::vector<std::string> words(argv + 1, argv + argc);
    auto parsed = tavrik::parseCommandLine(words);
    if (parsed.exitStatus) {
        std::fputs(parsed.standardOutput.c_str(), stdout);
        std::fputs(parsed.standardError.c_str(), stderr);
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(*parsed.exitStatus);
    }

    // The one place that picks the platform. The program is handed it; the
    // shared preview window and the prober find it installed.
    std::shared_ptr<platform::Platform> linuxPlatform = platform::linux_backend::makeLinuxPlatform();
    platform::install(linuxPlatform);

    tavrik::Tavrik program{parsed.command, parsed.subcommand, *linuxPlatform};
    std::thread worker([program] {
        tavrik::StreamLineSource input(stdin);
        program.run(input);
        platform::mainQueue()->async([] { tavrik::exitAfterArrivedSignals(); });
    });
    worker.detach();
    // The pool's threads start now, if they have not, with the handled signals blocked.
    platform::globalQueue();
    blockHandledSignals(SIG_UNBLOCK);
    platform::runMainQueue();
    return 0;
}
