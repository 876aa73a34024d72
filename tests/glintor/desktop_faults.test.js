'use strict';
// glintor when parts of a real desktop fail: a stopped session bus, a stopped
// accessibility bus, a stopped application, an accessibility bus that restarts.
// Every process this file stops is one the stack started; it is continued in the
// same test (and by the stack's clean-up should the test fail first).

const test = require('node:test');
const assert = require('node:assert/strict');
const { startStack, waitFor, reportCollector } = require('./a11y_stack.js');

const permissionText =
  'Accessibility permission required. Enable in System Preferences > Security & Privacy > Privacy > Accessibility';
// The bus check gives up after 400 ms of its own. The bound leaves a loaded machine
// 600 ms more to schedule the threads, which takes milliseconds even under load.
const UNTRUSTED_WITHIN_MS = 1000;
// Nothing in these paths waits for the stopped process: the monitor's worker never
// asks it, and stop() ends the worker's wait for the accessibility queue at once.
// The bounds are many times what a loaded machine needs to wake a thread and run a
// 10 ms poll.
const REPORT_WITHIN_MS = 300;
const STOP_WITHIN_MS = 200;

let stack;
let CursorAXMonitor;

test.before(async () => {
  stack = await startStack();
  ({ CursorAXMonitor } = require(process.env.GLINTOR_ADDON));
  stack.moveTo(...stack.centre('entry'));
  await waitFor('the text entry to be found', () => firstKindIs('ibeam'));
});

test.after(() => {
  stack?.stop();
});

async function firstKindIs(kind) {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback);
  try {
    return (await collector.next(1)) === kind;
  } finally {
    monitor.stop();
  }
}

function timed(call) {
  const began = performance.now();
  const value = call();
  return [value, performance.now() - began];
}

// With `pid` stopped: checkPermissions() and start() answer "not trusted" within the bound.
async function untrustedWhileStopped(pid) {
  const monitor = new CursorAXMonitor();
  process.kill(pid, 'SIGSTOP');
  try {
    const [trusted, checkMs] = timed(() => monitor.checkPermissions());
    assert.equal(trusted, false);
    const [, startMs] = timed(() => assert.throws(() => monitor.start(() => {}), { message: permissionText }));
    assert.equal(monitor.isRunning(), false);
    assert.ok(checkMs < UNTRUSTED_WITHIN_MS, `checkPermissions() took ${checkMs.toFixed(0)} ms`);
    assert.ok(startMs < UNTRUSTED_WITHIN_MS, `start() took ${startMs.toFixed(0)} ms`);
  } finally {
    process.kill(pid, 'SIGCONT');
  }
  await waitFor('the process to be trusted again', () => monitor.checkPermissions());
}

test('a stopped session bus: checkPermissions() and start() answer untrusted within 1 s', async () => {
  await untrustedWhileStopped(stack.sessionBusPid);
});

test('a stopped accessibility bus: checkPermissions() and start() answer untrusted within 1 s', async () => {
  const { daemons } = stack.accessibilityBusPids();
  assert.equal(daemons.length, 1, 'one accessibility bus');
  await untrustedWhileStopped(daemons[0]);
});

test('a stopped application slows neither the reports over another one nor stop()', async (t) => {
  // Beside the test window, not over it.
  const other = await stack.startApplication(720, 450);
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  try {
    process.kill(other.pid, 'SIGSTOP');
    monitor.setPollInterval(10);
    stack.moveTo(...stack.centre('entry'));
    monitor.start(collector.callback);
    assert.equal(await collector.next(1), 'ibeam');
    const times = [];
    for (const [name, kind] of [['button', 'pointer'], ['entry', 'ibeam'], ['button', 'pointer'], ['entry', 'ibeam']]) {
      const count = collector.reports.length + 1;
      stack.moveTo(...stack.centre(name));
      const moved = performance.now();
      assert.equal(await collector.next(count), kind);
      times.push(performance.now() - moved);
    }
    t.diagnostic(`reports over the test window, ms: ${times.map((ms) => ms.toFixed(1)).join(' ')}`);
    for (const ms of times) assert.ok(ms < REPORT_WITHIN_MS, `a report took ${ms.toFixed(0)} ms`);

    // Over the stopped application the worker's query waits for it.
    stack.moveTo(other.rects.entry.x + 10, other.rects.entry.y + 10);
    const [, stopMs] = timed(() => monitor.stop());
    t.diagnostic(`stop() over the stopped application: ${stopMs.toFixed(1)} ms`);
    assert.ok(stopMs < STOP_WITHIN_MS, `stop() took ${stopMs.toFixed(0)} ms`);
    // Started again while the pointer stays there, the monitor reports arrow.
    const over = reportCollector();
    monitor.start(over.callback);
    assert.equal(await over.next(1), 'arrow');
    const [, againMs] = timed(() => monitor.stop());
    assert.ok(againMs < STOP_WITHIN_MS, `stop() took ${againMs.toFixed(0)} ms`);
  } finally {
    monitor.stop();
    monitor.setPollInterval(100);
    other.stop();
  }
});

for (const [name, display] of [['without DISPLAY', undefined], ['with a display no server listens on', ':65000']]) {
  test(`no warning on standard error ${name}`, () => {
    const { spawnSync } = require('node:child_process');
    const env = { ...process.env, DISPLAY: display };
    if (display === undefined) delete env.DISPLAY;
    const result = spawnSync(process.execPath, ['-e', `
      const { CursorAXMonitor } = require(process.env.GLINTOR_ADDON);
      const monitor = new CursorAXMonitor();
      if (!monitor.checkPermissions()) throw new Error('not trusted');
      monitor.setPollInterval(10);
      let reports = 0;
      monitor.start((kind) => {
        console.log(kind);
        if (++reports === 1) setTimeout(() => monitor.stop(), 200);
      });`], { env, timeout: 60000, encoding: 'utf8' });
    assert.equal(result.status, 0, result.stderr);
    assert.equal(result.stdout.trim(), 'arrow');
    assert.equal(result.stderr, '');
  });
}

// Last: it replaces the stack's accessibility bus.
test('after the accessibility bus restarts, the running monitor finds an entry again', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  stack.moveTo(...stack.centre('empty'));
  monitor.setPollInterval(10);
  monitor.start(collector.callback);
  let restarted = null;
  try {
    assert.equal(await collector.next(1), 'arrow');
    const { launchers, daemons } = stack.accessibilityBusPids();
    for (const pid of [...daemons, ...launchers]) process.kill(pid, 'SIGTERM');
    await waitFor('the old accessibility bus to end', () => {
      const now = stack.accessibilityBusPids();
      return [...now.launchers, ...now.daemons].every((pid) => ![...daemons, ...launchers].includes(pid));
    });
    // The next call to org.a11y.Bus starts a new bus; accessibility is switched on there.
    stack.setAccessibilityEnabled(true);
    // GTK 3 applications stay with the bus they registered on, so an application
    // started now stands for the desktop's applications on the new bus. It shows
    // over the old window, where the pointer goes.
    restarted = await stack.startApplication();
    stack.moveTo(...stack.centre('entry'));
    await waitFor('ibeam over the entry', () => collector.reports.includes('ibeam'));
    assert.ok(await firstKindIs('ibeam'), 'a fresh start finds the entry too');
  } finally {
    monitor.stop();
    monitor.setPollInterval(100);
    restarted?.stop();
  }
});
