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

int main(int argc, char** argv) {
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
        platform::mainQueue()->async([] { tavrik::exitProgram(); });
    });
    worker.detach();
    platform::runMainQueue();
    return 0;
}
