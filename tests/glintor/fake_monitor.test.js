'use strict';
// The monitor's rules over the scripted accessibility service (the test build
// glintor_fake.node): what a real desktop cannot show on demand, and the exact
// poll-by-poll behaviour with a count of the queries made.

const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const v8 = require('node:v8');
const vm = require('node:vm');
const { waitFor, reportCollector } = require('./a11y_stack.js');

const addonPath = process.env.GLINTOR_FAKE_ADDON;
const { CursorAXMonitor, fake } = require(addonPath);

v8.setFlagsFromString('--expose-gc');
const gc = vm.runInNewContext('gc');

const permissionText =
  'Accessibility permission required. Enable in System Preferences > Security & Privacy > Privacy > Accessibility';
const BUTTON = { role: 'AXButton' };
const ENTRY = { role: 'AXTextField' };
const CLOSE = { role: 'AXStaticText', description: 'Close' };

// Waits until the workers have made `polls` more queries than now.
async function afterPolls(polls = 3) {
  const target = fake.hitTests() + polls;
  await waitFor(`${polls} more polls`, () => fake.hitTests() >= target);
}

// With no other monitor running: starts one that reports the current kind, lets
// it poll a few more times, and stops it. Any other worker still alive would have
// polled meanwhile too.
async function witnessPolls() {
  const witness = new CursorAXMonitor();
  const collector = reportCollector();
  witness.start(collector.callback);
  await collector.next(1);
  await afterPolls(5);
  witness.stop();
}

// Blocks the JavaScript thread (so no report can be delivered) until a condition holds.
function blockUntil(what, condition, deadlineMs = 60000) {
  const cell = new Int32Array(new SharedArrayBuffer(4));
  const end = Date.now() + deadlineMs;
  while (!condition()) {
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    Atomics.wait(cell, 0, 0, 1);
  }
}

function resetFake() {
  fake.releaseQueue();
  fake.releasePointer();
  fake.setTrusted(true);
  fake.throwAt('none');
  fake.setSystemWideAvailable(true);
  fake.setPointer(50, 50);
  fake.setHit(BUTTON);
}

// The rectangle is process-wide; each test starts with one that holds everything.
function resetBounds() {
  const monitor = new CursorAXMonitor();
  monitor.start(() => {}, { x: -1e9, y: -1e9, width: 2e9, height: 2e9 });
  monitor.stop();
}

test.beforeEach(() => {
  resetFake();
  resetBounds();
  new CursorAXMonitor().setPollInterval(10);
});

test.after(() => {
  assert.equal(fake.releasesOffQueue(), 0, 'elements are released on the accessibility queue');
});

test('getPollInterval() is 100 in a fresh process', () => {
  const output = execFileSync(process.execPath, ['-e',
    `const { CursorAXMonitor } = require(${JSON.stringify(addonPath)});
     console.log(new CursorAXMonitor().getPollInterval());`]);
  assert.equal(output.toString().trim(), '100');
});

test('setPollInterval keeps at least 10 ms and truncates to a 32-bit integer', () => {
  const monitor = new CursorAXMonitor();
  const table = [[5, 10], [10, 10], [11, 11], [-3, 10], [250.7, 250], [0, 10], [NaN, 10], [2 ** 32 + 20, 20]];
  for (const [given, stored] of table) {
    assert.equal(monitor.setPollInterval(given), stored, `setPollInterval(${given})`);
    assert.equal(monitor.getPollInterval(), stored);
  }
  monitor.setPollInterval(42);
  for (const wrong of ['20', undefined, null, {}]) {
    assert.throws(() => monitor.setPollInterval(wrong), { name: 'TypeError', message: 'Number expected' });
  }
  assert.throws(() => monitor.setPollInterval(), { name: 'TypeError', message: 'Number expected' });
  assert.equal(monitor.getPollInterval(), 42, 'a refused value leaves the interval');
  // Shared by every monitor.
  assert.equal(new CursorAXMonitor().getPollInterval(), 42);
});

test('the first poll reports the current kind; the same kind is not reported again', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback);
  assert.equal(monitor.isRunning(), true);
  assert.equal(await collector.next(1), 'pointer');
  await afterPolls();
  fake.setHit(ENTRY);
  assert.equal(await collector.next(2), 'ibeam');
  await afterPolls();
  assert.deepEqual(collector.reports, ['pointer', 'ibeam']);
  assert.equal(monitor.stop(), true);
  assert.equal(monitor.isRunning(), false);
});

test('a failed query step reports arrow', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback);
  assert.equal(await collector.next(1), 'pointer');
  fake.throwAt('role');
  assert.equal(await collector.next(2), 'arrow');
  // The failing hit is in place before the failing step is lifted, so no poll in
  // between can see the plain button and report "pointer".
  fake.setHit({ ...BUTTON, status: -25204 });
  fake.throwAt('none');
  await afterPolls();
  fake.setHit(CLOSE);
  assert.equal(await collector.next(3), 'Close');
  monitor.stop();
});

test('outside the rectangle nothing is reported; back inside only a changed kind', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback, { x: 0, y: 0, width: 100, height: 100 });
  assert.equal(await collector.next(1), 'pointer');
  // Outside, with another kind: polled, not reported.
  fake.setPointer(150, 50);
  fake.setHit(CLOSE);
  await afterPolls();
  // The maximum edge is outside too.
  fake.setPointer(100, 50);
  await afterPolls();
  assert.deepEqual(collector.reports, ['pointer']);
  // Back inside with the kind last reported: nothing.
  fake.setHit(BUTTON);
  fake.setPointer(0, 0);
  await afterPolls();
  assert.deepEqual(collector.reports, ['pointer']);
  // A changed kind inside is reported.
  fake.setHit(ENTRY);
  assert.equal(await collector.next(2), 'ibeam');
  monitor.stop();
});

test('a pointer that cannot be read counts as inside', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback, { x: 1000, y: 1000, width: 10, height: 10 });
  fake.setHit(ENTRY);
  await afterPolls();
  assert.deepEqual(collector.reports, []);
  fake.throwAt('pointerLocation');
  assert.equal(await collector.next(1), 'arrow', 'no pointer: the query gives arrow, reported as inside');
  monitor.stop();
});

test('bounds without "height" leave the rectangle; inherited properties count', async () => {
  const monitor = new CursorAXMonitor();
  monitor.start(() => {}, { x: 0, y: 0, width: 100, height: 100 });
  monitor.stop();
  const collector = reportCollector();
  monitor.start(collector.callback, { x: 500, y: 500, width: 10 });
  assert.equal(await collector.next(1), 'pointer', 'the old rectangle holds the pointer at 50, 50');
  monitor.stop();
  // Properties from the prototype count, as with the in operator.
  const inherited = Object.create({ x: 500, y: 500, width: 10, height: 10 });
  const silent = reportCollector();
  monitor.start(silent.callback, inherited);
  await afterPolls();
  assert.deepEqual(silent.reports, []);
  monitor.stop();
});

test('a start with bounds on a second monitor changes the first one\'s rectangle', async () => {
  const first = new CursorAXMonitor();
  const collector = reportCollector();
  first.start(collector.callback, { x: 0, y: 0, width: 100, height: 100 });
  assert.equal(await collector.next(1), 'pointer');
  const second = new CursorAXMonitor();
  second.start(() => {}, { x: 1000, y: 1000, width: 10, height: 10 });
  fake.setHit(ENTRY);
  await afterPolls(6);
  assert.deepEqual(collector.reports, ['pointer']);
  second.stop();
  first.stop();
});

test('a rectangle of width 0 holds no point', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  fake.setPointer(0, 50);
  monitor.start(collector.callback, { x: 0, y: 0, width: 0, height: 100 });
  await afterPolls();
  assert.deepEqual(collector.reports, []);
  monitor.stop();
});

test('a bounds value that is not a number reads as 0 with the rest, and start throws after starting', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  assert.throws(() => monitor.start(collector.callback, { x: 0, y: 'ten', width: 100, height: 100 }),
    { name: 'TypeError', message: 'A number was expected' });
  assert.equal(monitor.isRunning(), true);
  // The rectangle is now 0, 0, 0, 0: nothing is reported.
  await afterPolls();
  assert.deepEqual(collector.reports, []);
  monitor.stop();
});

test('stop() is true when not running; isRunning() follows start and stop', () => {
  const monitor = new CursorAXMonitor();
  assert.equal(monitor.stop(), true);
  assert.equal(monitor.isRunning(), false);
  monitor.start(() => {});
  assert.equal(monitor.isRunning(), true);
  assert.equal(monitor.stop(), true);
  assert.equal(monitor.isRunning(), false);
  assert.equal(monitor.stop(), true);
});

test('start(123) on a running monitor stops it and throws the TypeError', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback);
  assert.equal(await collector.next(1), 'pointer');
  assert.throws(() => monitor.start(123), { name: 'TypeError', message: 'Callback function required' });
  assert.equal(monitor.isRunning(), false);
  fake.setHit(ENTRY);
  await witnessPolls();
  assert.deepEqual(collector.reports, ['pointer']);
});

test('an untrusted start stops the running monitor and throws the permission error', async () => {
  const monitor = new CursorAXMonitor();
  monitor.start(() => {});
  fake.setTrusted(false);
  assert.equal(monitor.checkPermissions(), false);
  assert.throws(() => monitor.start(() => {}), { name: 'Error', message: permissionText });
  assert.equal(monitor.isRunning(), false);
  fake.setTrusted(true);
  assert.equal(monitor.checkPermissions(), true);
});

test('a report queued just before stop() is still delivered after it', async () => {
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  const before = fake.hitTests();
  monitor.start(collector.callback);
  // The report of the first poll is queued before the second poll's query; the
  // JavaScript thread stays blocked, so it cannot have been delivered yet.
  blockUntil('a second poll', () => fake.hitTests() >= before + 2);
  assert.equal(monitor.stop(), true);
  assert.deepEqual(collector.reports, []);
  assert.equal(await collector.next(1), 'pointer');
});

test('a worker thread that cannot be created: start throws and leaves the monitor stopped', async () => {
  const monitor = new CursorAXMonitor();
  monitor.start(() => {});
  fake.failNextThreadStart();
  assert.throws(() => monitor.start(() => {}), {
    name: 'Error',
    message: 'Cursor monitor thread could not be started: Resource temporarily unavailable',
  });
  assert.equal(monitor.isRunning(), false);
  const collector = reportCollector();
  monitor.start(collector.callback);
  assert.equal(await collector.next(1), 'pointer');
  monitor.stop();
});

test('a restart before the event loop turns keeps the new callback alive', async () => {
  const monitor = new CursorAXMonitor();
  const first = reportCollector();
  monitor.start(first.callback);
  assert.equal(await first.next(1), 'pointer');
  // The first function's finalizer runs after the second function is in place.
  monitor.stop();
  const second = reportCollector();
  monitor.start(second.callback);
  assert.equal(await second.next(1), 'pointer');
  // Start while running, too.
  const third = reportCollector();
  monitor.start(third.callback);
  assert.equal(await third.next(1), 'pointer');
  // By now the finalizers of the first two functions have run.
  await new Promise((resolve) => setImmediate(resolve));
  fake.setHit(CLOSE);
  assert.equal(await third.next(2), 'Close');
  monitor.stop();
  assert.deepEqual(first.reports, ['pointer']);
  assert.deepEqual(second.reports, ['pointer']);
});

test('stop() while the worker waits on a busy queue returns at once and drops its query', async () => {
  const monitor = new CursorAXMonitor();
  fake.holdQueue();
  monitor.start(() => assert.fail('no report from a dropped query'));
  await waitFor('the worker to wait on the queue', () => fake.waitingWork() >= 1);
  const stopStarted = performance.now();
  assert.equal(monitor.stop(), true);
  // Without the stop ending its wait, the worker would hold stop() for the whole
  // 5000 ms wait; a loaded machine delays a thread's wake-up by far less than half.
  assert.ok(performance.now() - stopStarted < 2500, 'stop did not wait for the held queue');
  assert.equal(monitor.isRunning(), false);
  assert.equal(fake.waitingWork(), 0, 'the query that had not started is dropped');
  fake.releaseQueue();
  await witnessPolls();
});

// With no system-wide element the query reads no pointer, so the worker reads it
// itself, off the queue: a held pointer read stands it still where a stop request
// cannot reach it.
async function startHeldWorker(monitor, callback) {
  fake.setSystemWideAvailable(false);
  fake.holdPointer();
  monitor.start(callback);
  await waitFor('the worker to wait for the pointer', () => fake.pointerWaiters() >= 1);
}

test('a worker left behind after 5000 ms never reports to or stops the next start', async () => {
  const monitor = new CursorAXMonitor();
  const old = reportCollector();
  await startHeldWorker(monitor, old.callback);
  const stopStarted = performance.now();
  assert.equal(monitor.stop(), true);
  // The stop wait runs out (its lower bound holds on any machine) and the worker is left behind.
  assert.ok(performance.now() - stopStarted >= 4900, 'stop waited for the worker');
  assert.equal(monitor.isRunning(), false);

  fake.setSystemWideAvailable(true);
  const fresh = reportCollector();
  monitor.start(fresh.callback);
  assert.equal(await fresh.next(1), 'pointer');
  fake.releasePointer();
  await waitFor('the old worker to go on', () => fake.pointerWaiters() === 0);
  fake.setHit(ENTRY);
  assert.equal(await fresh.next(2), 'ibeam');
  assert.equal(monitor.isRunning(), true);
  assert.deepEqual(old.reports, []);
  monitor.stop();
});

test('a monitor collected while its worker is left behind', async () => {
  let monitor = new CursorAXMonitor();
  await startHeldWorker(monitor, () => assert.fail('no report after stop'));
  monitor.stop();
  monitor = null;
  gc();
  await new Promise((resolve) => setImmediate(resolve));
  gc();
  fake.setSystemWideAvailable(true);
  fake.releasePointer();
  await waitFor('the left-behind worker to go on', () => fake.pointerWaiters() === 0);
  const collector = reportCollector();
  const next = new CursorAXMonitor();
  next.start(collector.callback);
  assert.equal(await collector.next(1), 'pointer');
  next.stop();
});

test('a running monitor that is collected stops its worker', async () => {
  const collector = reportCollector();
  let collected = false;
  const registry = new FinalizationRegistry(() => { collected = true; });
  (() => {
    const monitor = new CursorAXMonitor();
    registry.register(monitor, 'monitor');
    monitor.start(collector.callback);
  })();
  assert.equal(await collector.next(1), 'pointer');
  await waitFor('the monitor to be collected', async () => {
    gc();
    await new Promise((resolve) => setImmediate(resolve));
    return collected;
  });
  // Its finalizer runs once the event loop turns again.
  await new Promise((resolve) => setImmediate(resolve));
  fake.setHit(CLOSE);
  await witnessPolls();
  assert.deepEqual(collector.reports, ['pointer']);
});

// A callback's exception is the host's own bug: it reaches the host as an uncaught
// exception, never swallowed. Each case runs in a process of its own.
for (const [name, handler, expected] of [
  ['is seen by process.on(\'uncaughtException\')',
    `process.on('uncaughtException', (error) => { console.log('caught ' + error.message); monitor.stop(); });`,
    { status: 0, stdout: 'caught thrown in the callback', stderr: '' }],
  ['ends a process without a handler, as any uncaught exception does', '',
    { status: 1, stdout: '', stderrIncludes: 'thrown in the callback' }],
]) {
  test(`an exception thrown in the callback ${name}`, () => {
    const { spawnSync } = require('node:child_process');
    const result = spawnSync(process.execPath, ['-e', `
      const { CursorAXMonitor, fake } = require(process.env.GLINTOR_FAKE_ADDON);
      fake.setHit({ role: 'AXButton' });
      const monitor = new CursorAXMonitor();
      ${handler}
      monitor.start(() => { throw new Error('thrown in the callback'); });`],
    { env: process.env, timeout: 60000, encoding: 'utf8' });
    assert.equal(result.signal, null, result.stderr);
    assert.equal(result.status, expected.status, result.stderr);
    assert.equal(result.stdout.trim(), expected.stdout);
    if ('stderr' in expected) assert.equal(result.stderr, expected.stderr);
    if (expected.stderrIncludes) assert.ok(result.stderr.includes(expected.stderrIncludes), result.stderr);
    assert.ok(!result.stderr.includes('DEP0168'), result.stderr);
  });
}
