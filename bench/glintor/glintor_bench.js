#!/usr/bin/env node
'use strict';
// glintor benchmarks over the private AT-SPI stack of the tests (Xvfb, D-Bus,
// at-spi2-core, the GTK 3 test window):
//   1. one query's time with the pointer on the text entry (median, 95th percentile),
//      when the build folder holds glintor_query_bench;
//   2. the CPU an idle monitor costs at the default 100 ms interval with 1, 3 and 11
//      applications on the desktop (each added one shows two top-level windows): a
//      node process with a running monitor against the same process idle, each over
//      the same wall time, and the CPU the applications spend answering.
// Usage: bench/glintor/glintor_bench.js [build folder] [seconds] [application counts]
//   e.g. bench/glintor/glintor_bench.js build/default 20 1,3,11

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { startStack } = require('../../tests/glintor/a11y_stack.js');

const root = path.resolve(__dirname, '../..');
const build = path.resolve(root, process.argv[2] || 'build/default');
const seconds = Number(process.argv[3] || 10);
const applicationCounts = (process.argv[4] || '1,3,11').split(',').map(Number);
const addon = path.join(build, 'src/glintor/glintor.node');
const queryBench = path.join(build, 'bench/glintor/glintor_query_bench');

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

function measureQuery(stack) {
  if (!fs.existsSync(queryBench)) return;
  stack.moveTo(...stack.centre('entry'));
  // The window's application registers shortly after it shows.
  for (let i = 0; i < 100; i++) {
    if (JSON.parse(execFileSync(queryBench, ['1']).toString()).kind === 'ibeam') break;
  }
  const query = JSON.parse(execFileSync(queryBench, ['2000']).toString());
  console.log(`one query (pointer on the entry, kind ${query.kind}), ${query.queries} queries: ` +
    `median ${query.medianMs} ms, 95th percentile ${query.p95Ms} ms (min ${query.minMs}, max ${query.maxMs})`);
}

(async () => {
  const stack = await startStack();
  const applications = [stack.application];
  try {
    measureQuery(stack);
    for (const count of applicationCounts) {
      // Beside the test window, clear of the entry the pointer rests on.
      while (applications.length < count) {
        const index = applications.length;
        applications.push(await stack.startApplication(720 + 12 * index, 450 + 12 * index, 1));
      }
      stack.moveTo(...stack.centre('entry'));
      const answering = () => applications.reduce((sum, application) => sum + cpuSeconds(application.pid), 0);
      const idle = runIdleOrMonitoring(false);
      const applicationsBefore = answering();
      const busy = runIdleOrMonitoring(true);
      const applicationsCpu = answering() - applicationsBefore;
      const monitorShare = ((busy.cpuSeconds - idle.cpuSeconds) / seconds) * 100;
      const windows = 1 + 2 * (count - 1);
      console.log(`${count} application(s), ${windows} window(s), monitor at 100 ms for ${seconds} s ` +
        `(kind ${busy.kind}): node process ${busy.cpuSeconds.toFixed(3)} s CPU against ` +
        `${idle.cpuSeconds.toFixed(3)} s idle: ${monitorShare.toFixed(2)} % of a core for the monitor; ` +
        `the applications answering: ${((applicationsCpu / seconds) * 100).toFixed(2)} % of a core ` +
        `(over the monitoring process's whole run, ${seconds} s and its start)`);
    }
  } finally {
    for (const application of applications.slice(1)) application.stop();
    stack.stop();
  }
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
