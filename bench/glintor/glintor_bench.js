#!/usr/bin/env node
'use strict';
// glintor benchmarks over the private AT-SPI stack of the tests (Xvfb, D-Bus,
// at-spi2-core, the GTK 3 test window):
//   1. one query's time with the pointer on the text entry (median, 95th percentile);
//   2. the CPU a monitor costs at the default 100 ms interval: a node process with a
//      running monitor against the same process idle, each over the same wall time,
//      and the test window's own CPU while it answers the queries.
// Usage: bench/glintor/glintor_bench.js [build folder] [seconds]

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { startStack } = require('../../tests/glintor/a11y_stack.js');

const root = path.resolve(__dirname, '../..');
const build = path.resolve(root, process.argv[2] || 'build/default');
const seconds = Number(process.argv[3] || 10);
const addon = path.join(build, 'src/glintor/glintor.node');

// User+system CPU seconds of a process from /proc.
function cpuSeconds(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return (Number(fields[11]) + Number(fields[12])) / 100;  // utime, stime in clock ticks (USER_HZ 100)
}

function runIdleOrMonitoring(monitoring) {
  const script = `
    const { CursorAXMonitor } = require(${JSON.stringify(addon)});
    const monitor = new CursorAXMonitor();
    let kind = null;
    const measure = () => {
      const before = process.cpuUsage();
      setTimeout(() => {
        const used = process.cpuUsage(before);
        monitor.stop();
        console.log(JSON.stringify({ kind, cpuSeconds: (used.user + used.system) / 1e6 }));
      }, ${seconds * 1000});
    };
    if (${monitoring}) monitor.start((k) => { if (kind === null) { kind = k; measure(); } });
    else { setTimeout(() => {}, ${seconds * 1000 + 100}); measure(); }`;
  return JSON.parse(execFileSync(process.execPath, ['-e', script], { env: process.env }).toString());
}

(async () => {
  const stack = await startStack();
  try {
    stack.moveTo(...stack.centre('entry'));
    // The window's application registers shortly after it shows.
    for (let i = 0; i < 100; i++) {
      const probe = JSON.parse(execFileSync(path.join(build, 'bench/glintor/glintor_query_bench'), ['1']).toString());
      if (probe.kind === 'ibeam') break;
    }
    const query = JSON.parse(execFileSync(path.join(build, 'bench/glintor/glintor_query_bench'), ['2000']).toString());
    console.log(`one query (pointer on the entry, kind ${query.kind}), ${query.queries} queries: ` +
      `median ${query.medianMs} ms, 95th percentile ${query.p95Ms} ms (min ${query.minMs}, max ${query.maxMs})`);

    const windowPid = Number(execFileSync('xdotool', ['search', '--name', 'glintor test window', 'getwindowpid'],
      { env: stack.env }).toString().trim().split('\n')[0]);
    const idle = runIdleOrMonitoring(false);
    const windowBefore = cpuSeconds(windowPid);
    const busy = runIdleOrMonitoring(true);
    const windowCpu = cpuSeconds(windowPid) - windowBefore;
    const monitorShare = ((busy.cpuSeconds - idle.cpuSeconds) / seconds) * 100;
    console.log(`monitor at 100 ms for ${seconds} s: node process ${busy.cpuSeconds.toFixed(3)} s CPU ` +
      `against ${idle.cpuSeconds.toFixed(3)} s idle: ${monitorShare.toFixed(2)} % of a core for the monitor; ` +
      `the test window answering the queries: ${((windowCpu / seconds) * 100).toFixed(2)} % of a core ` +
      `(measured over the whole run of the monitoring process, ${seconds} s and its start)`);
  } finally {
    stack.stop();
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
