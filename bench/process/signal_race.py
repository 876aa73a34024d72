#!/usr/bin/env python3
"""Signal and end of input at the same moment, as a host that quits sends them.

Starts the interactive recorder RUNS times (JOBS at a time), waits for "ready",
sends SIGINT, SIGTERM or SIGHUP (in turn) and closes standard input at once,
then sorts each run by how it ended: exit status, killed by a signal, whether
"shutdown" was announced, and whether anything else was written.

    bench/process/signal_race.py [tavrik binary] [runs] [jobs]
"""

import collections
import concurrent.futures
import json
import os
import signal
import subprocess
import sys

SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]


def one_run(binary, index):
    number = SIGNALS[index % len(SIGNALS)]
    child = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    child.stdout.readline()  # banner
    ready = child.stdout.readline()
    if b'"ready"' not in ready:
        child.kill()
        child.wait()
        return "no ready line"
    os.kill(child.pid, number)
    child.stdin.close()
    child.stdin = None  # closed: communicate() must not flush it
    try:
        rest, errors = child.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        return "hung"
    events = []
    for line in rest.decode(errors="replace").splitlines():
        try:
            events.append(json.loads(line).get("event"))
        except ValueError:
            events.append("unparsable line")
    if child.returncode < 0:
        ending = "killed by " + signal.Signals(-child.returncode).name
    else:
        ending = "exit %d" % child.returncode
    said = "+".join(events) if events else "nothing"
    if errors:
        said += " (stderr)"
    return "%s, %s" % (ending, said)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    default_binary = os.path.join(here, "..", "..", "build", "default", "tavrik", "tavrik")
    binary = sys.argv[1] if len(sys.argv) > 1 else default_binary
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 300
    jobs = int(sys.argv[3]) if len(sys.argv) > 3 else os.cpu_count() or 4
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        outcomes = collections.Counter(pool.map(lambda i: one_run(binary, i), range(runs)))
    for outcome, count in outcomes.most_common():
        print("%4d  %s" % (count, outcome))
    wrong = sum(count for outcome, count in outcomes.items() if outcome != "exit 0, shutdown")
    print("%d of %d runs exited 0 after exactly one \"shutdown\"" % (runs - wrong, runs))
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
