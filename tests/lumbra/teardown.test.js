'use strict';
// The plug-in in a worker that ends, and processes that exit with live channels:
// no crash, no call into a torn-down environment, the main queue still served.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { Worker } = require('node:worker_threads');
const { testAddonPath, addonPath, collector, exitWhenDone } = require('./support/harness.js');

exitWhenDone();

// In a worker: registers all five channels, waits for one connection report, then
// leaves the events below in flight and ends (by itself or terminated).
const workerSource = `
  const { parentPort, workerData } = require('node:worker_threads');
  const lumbra = require(workerData.addon);
  lumbra.onRecordingStarted(() => {});
  lumbra.onRecordingStopped(() => {});
  lumbra.onRecordingError(() => {});
  lumbra.onDeviceDisconnected(() => {});
  lumbra.onDeviceConnected((id) => {
    if (id !== 'worker-hello') return;
    for (let i = 0; i < 200; i++) lumbra.fake.postConnection({ id: 'in-flight-' + i, manufacturer: 'Apple Inc.' });
    lumbra.startIOSRecording('no-such-phone', '/tmp/x.mov');
    parentPort.postMessage('ready');
    if (workerData.exitItself) process.exit(0);
  });
  lumbra.fake.postConnection({ id: 'worker-hello', manufacturer: 'Apple Inc.' });
`;

function runWorker(exitItself) {
  return new Promise((resolve, reject) => {
    const worker = new Worker(workerSource, { eval: true, workerData: { addon: testAddonPath(), exitItself } });
    worker.on('error', reject);
    worker.on('message', () => {
      if (!exitItself) worker.terminate();
    });
    worker.on('exit', resolve);
  });
}

test('workers that load the plug-in and end leave the process working', async () => {
  assert.equal(await runWorker(true), 0);
  await runWorker(false);
  // The same module in this thread: the main queue still runs, events reach the new channels.
  const lumbra = require(testAddonPath());
  const connections = collector();
  const errors = collector();
  lumbra.onDeviceConnected(connections.fn);
  lumbra.onRecordingError(errors.fn);
  lumbra.fake.postConnection({ id: 'after-workers', manufacturer: 'Apple Inc.' });
  assert.equal(await connections.nth(1), 'after-workers');
  assert.equal(lumbra.startIOSRecording('no-such-phone', '/tmp/x.mov'), false);
  assert.equal(await errors.nth(1), 'Device not found: no-such-phone');
});

// A child process: registers channels, leaves events in flight, and exits.
function runChild(source, addon) {
  return spawnSync(process.execPath, ['-e', source], {
    env: { ...process.env, ADDON: addon },
    encoding: 'utf8',
    timeout: 60000,
  });
}

test('a process exiting with live channels and events in flight ends cleanly', () => {
  const child = runChild(`
    const lumbra = require(process.env.ADDON);
    let seen = 0;
    lumbra.onDeviceConnected(() => { seen++; });
    lumbra.onDeviceDisconnected(() => {});
    lumbra.onRecordingError(() => {});
    lumbra.onRecordingStarted(() => {});
    lumbra.onRecordingStopped(() => {});
    for (let i = 0; i < 500; i++) lumbra.fake.postConnection({ id: 'c' + i, manufacturer: 'Apple Inc.' });
    lumbra.startIOSRecording('no-such-phone', '/tmp/x.mov');
    setImmediate(() => process.exit(0));
  `, testAddonPath());
  assert.equal(child.signal, null, child.stderr);
  assert.equal(child.status, 0, child.stderr);
  assert.equal(child.stderr, '');
});

test('a process ending by itself after its worker ended', () => {
  const child = runChild(`
    const { Worker } = require('node:worker_threads');
    const worker = new Worker(
      "const l = require(process.env.ADDON); l.onDeviceConnected(() => {}); " +
      "l.fake.postConnection({ id: 'w', manufacturer: 'Apple Inc.' }); setTimeout(() => process.exit(0), 20);",
      { eval: true });
    worker.on('exit', (code) => { console.log('worker ended ' + code); });
  `, testAddonPath());
  assert.equal(child.signal, null, child.stderr);
  assert.equal(child.status, 0, child.stderr);
  assert.equal(child.stdout.trim(), 'worker ended 0');
});

test('the Linux plug-in loads, answers and exits with live channels', () => {
  const child = runChild(`
    const lumbra = require(process.env.ADDON);
    if (Object.keys(lumbra).length !== 13) throw new Error('exports: ' + Object.keys(lumbra));
    lumbra.onDeviceConnected(() => {});
    lumbra.onRecordingError(() => {});
    const all = lumbra.listAllDevices();
    if (!Array.isArray(all.webcams) || !Array.isArray(all.audios)) throw new Error('all devices: ' + JSON.stringify(all));
    setImmediate(() => process.exit(0));
  `, addonPath());
  assert.equal(child.signal, null, child.stderr);
  assert.equal(child.status, 0, child.stderr);
});
