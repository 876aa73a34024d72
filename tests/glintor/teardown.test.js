'use strict';
// Ends of the host: a worker_threads worker that loaded glintor ends while its
// monitor runs, and a process exits while monitors run. Nothing may crash, and no
// callback may come late.

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const { startStack, waitFor, reportCollector } = require('./a11y_stack.js');

let stack;

test.before(async () => {
  stack = await startStack();
  stack.moveTo(...stack.centre('entry'));
});

test.after(() => {
  stack?.stop();
});

// A worker that starts a monitor, tells its first kind, and then does what `then` says.
function monitorWorker(addon, then, prelude = '') {
  return new Worker(`
    const { parentPort } = require('node:worker_threads');
    const glintor = require(${JSON.stringify(addon)});
    ${prelude}
    const monitor = new glintor.CursorAXMonitor();
    monitor.setPollInterval(10);
    monitor.start((kind) => {
      parentPort.postMessage(kind);
      ${then}
    });
    parentPort.postMessage('started');`, { eval: true });
}

function messages(worker) {
  const seen = [];
  worker.on('message', (message) => seen.push(message));
  const exited = new Promise((resolve, reject) => {
    worker.once('exit', resolve);
    worker.once('error', reject);
  });
  return { seen, exited };
}

test('a worker terminated while its monitor runs', async () => {
  const worker = monitorWorker(process.env.GLINTOR_ADDON, '');
  const { seen, exited } = messages(worker);
  await waitFor('the worker\'s first kind', () => seen.includes('ibeam'));
  await worker.terminate();
  await exited;
});

test('a worker that exits by itself while its monitor runs', async () => {
  const worker = monitorWorker(process.env.GLINTOR_ADDON, 'process.exit(0);');
  const { seen, exited } = messages(worker);
  assert.equal(await exited, 0);
  assert.ok(seen.includes('ibeam'), JSON.stringify(seen));
});

test('the main thread still uses the plug-in after its workers ended', async () => {
  const { CursorAXMonitor } = require(process.env.GLINTOR_ADDON);
  const monitor = new CursorAXMonitor();
  const collector = reportCollector();
  monitor.start(collector.callback);
  assert.equal(await collector.next(1), 'ibeam');
  monitor.stop();
});

test('a worker ended while its monitor waits on a held queue (test build)', async () => {
  const addon = process.env.GLINTOR_FAKE_ADDON;
  const { fake } = require(addon);
  fake.setPointer(1, 1);
  fake.setHit({ role: 'AXButton' });
  const worker = monitorWorker(addon, '', 'glintor.fake.holdQueue();');
  const { seen, exited } = messages(worker);
  await waitFor('the worker to start', () => seen.includes('started'));
  await waitFor('its monitor to wait on the queue', () => fake.waitingWork() >= 1);
  // The monitor's clean-up stops the worker's wait for the queue: its query is dropped.
  await worker.terminate();
  await exited;
  assert.equal(fake.waitingWork(), 0);
  fake.releaseQueue();
  assert.deepEqual(seen, ['started']);
  assert.equal(fake.releasesOffQueue(), 0);
});

// Runs a script in a fresh node process under the test stack.
function runNode(script) {
  return spawnSync(process.execPath, ['-e', script], { env: process.env, timeout: 120000, encoding: 'utf8' });
}

for (const [name, addonVariable] of [['the plug-in', 'GLINTOR_ADDON'], ['the test build', 'GLINTOR_FAKE_ADDON']]) {
  test(`process.exit() while monitors run (${name})`, () => {
    const result = runNode(`
      const { CursorAXMonitor } = require(process.env.${addonVariable});
      const monitors = [new CursorAXMonitor(), new CursorAXMonitor()];
      monitors[0].setPollInterval(10);
      let reports = 0;
      for (const monitor of monitors) {
        monitor.start((kind) => {
          require('node:fs').writeSync(1, 'kind ' + kind + '\\n');
          if (++reports === 2) setImmediate(() => process.exit(0));
        });
      }`);
    assert.equal(result.signal, null, result.stderr);
    assert.equal(result.status, 0, result.stderr);
    assert.equal(result.stderr, '');
    assert.equal(result.stdout.trim().split('\n').length, 2, result.stdout);
  });
}

test('a process whose worker thread runs a monitor exits while it runs', () => {
  const result = runNode(`
    const { Worker } = require('node:worker_threads');
    const worker = new Worker(\`
      const { parentPort } = require('node:worker_threads');
      const { CursorAXMonitor } = require(process.env.GLINTOR_ADDON);
      globalThis.monitor = new CursorAXMonitor();
      monitor.start((kind) => parentPort.postMessage(kind));\`, { eval: true });
    worker.on('message', (kind) => { require('node:fs').writeSync(1, 'kind ' + kind + '\\n'); process.exit(0); });`);
  assert.equal(result.signal, null, result.stderr);
  assert.equal(result.status, 0, result.stderr);
  assert.equal(result.stdout.trim(), 'kind ibeam');
});
