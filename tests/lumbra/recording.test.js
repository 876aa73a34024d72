'use strict';
// Recording of an iOS device's screen over the fake platform: every row of the
// state table with its message, the failures of a start in their order, and
// delayed steps that leave a later recording alone.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { testAddonPath, waitFor, collector, exitWhenDone } = require('./support/harness.js');

const lumbra = require(testAddonPath());
const { fake } = lumbra;
exitWhenDone();

const errors = collector();
const started = collector();
const stopped = collector();
lumbra.onRecordingError(errors.fn);
lumbra.onRecordingStarted(started.fn);
lumbra.onRecordingStopped(stopped.fn);

fake.addDevice({ id: 'phone', manufacturer: 'Apple Inc.', name: 'iPhone', model: 'iPhone15,3' });

// The next error message (errors arrive in the order they were reported).
let errorsSeen = 0;
async function nextError() {
  errorsSeen += 1;
  return errors.nth(errorsSeen, `error message ${errorsSeen}`);
}

const recordings = () => fake.recordings();
const lastRecording = () => recordings().at(-1);
let pathNumber = 0;
const newPath = () => `/tmp/lumbra-recording-${process.pid}-${++pathNumber}.mov`;

// The module is idle once a stop is answered with "No active recording session".
async function waitIdle() {
  for (;;) {
    assert.equal(lumbra.stopIOSRecording(), false);
    const message = await nextError();
    if (message === 'No active recording session') return;
    assert.equal(message, 'Output is not currently recording');
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// Starts a recording of the phone and waits until its file was asked to record.
async function startRecordingFile() {
  const path = newPath();
  assert.equal(lumbra.startIOSRecording('phone', path), true);
  const index = recordings().length - 1;
  await waitFor(() => recordings()[index].askedToRecord, 'the file-start step');
  return { path, index };
}

test('idle: stop reports "No active recording session"; cancel returns false and reports nothing', async () => {
  assert.equal(lumbra.cancelIOSRecording(), false);
  assert.equal(lumbra.isRecording(), false);
  assert.equal(lumbra.stopIOSRecording(), false);
  // Had the cancel reported anything, it would come before the stop's message.
  assert.equal(await nextError(), 'No active recording session');
});

test('failed starts report their message in order, return false and store nothing', async () => {
  fake.addDevice({ id: 'suspended-gone', manufacturer: 'Apple Inc.', name: 'iPhone', suspended: true, connected: false });
  fake.addDevice({ id: 'gone', manufacturer: 'Apple Inc.', name: 'iPhone', connected: false });
  const cases = [
    // [device, failure to script, message, output path]
    ['no-such-phone', null, 'Device not found: no-such-phone'],
    // A text holding a NUL names no device and no file, never the part before it.
    ['phone\0zzz', null, 'Device not found: phone\0zzz'],
    ['phone', null, 'Device not found: phone', '/tmp/a.mov\0/../../etc/evil'],
    ['suspended-gone', null, 'Device is suspended (not trusted). Please trust this device on your iPhone/iPad.'],
    ['gone', null, 'Device is not connected'],
    ['phone', ['captureSessions.makeDeviceInput', 'The device is busy.'], 'Failed to start recording: The device is busy.'],
    ['phone', ['captureSession.addInput'], 'Cannot add device input to capture session'],
    ['phone', ['captureSession.addOutput'], 'Cannot add movie output to capture session'],
  ];
  for (const [device, failure, message, path] of cases) {
    if (failure) fake.failNext(...failure);
    const outputsBefore = recordings().length;
    assert.equal(lumbra.startIOSRecording(device, path ?? newPath()), false, message);
    assert.equal(await nextError(), message);
    assert.equal(lumbra.isRecording(), false);
    assert.equal(lumbra.stopIOSRecording(), false);
    assert.equal(await nextError(), 'No active recording session', `nothing stored after: ${message}`);
    if (message.startsWith('Cannot add movie')) assert.equal(recordings().length, outputsBefore + 1);
    if (message.startsWith('Device not found')) assert.equal(recordings().length, outputsBefore, 'no session made');
  }
});

test('a full recording: starting, recording, stopping, finishing, idle', async () => {
  const path = newPath();
  const startedBefore = started.calls.length;
  const stoppedBefore = stopped.calls.length;
  assert.equal(lumbra.startIOSRecording('phone', path), true);
  const index = recordings().length - 1;

  // starting: the file is not asked to record before the session has run for 0.5 s
  assert.equal(lumbra.stopIOSRecording(), false);
  assert.equal(await nextError(), 'Output is not currently recording');
  assert.equal(lumbra.startIOSRecording('phone', newPath()), false);
  assert.equal(await nextError(), 'Recording already in progress');

  // recording: the file still starts after the refused stop
  await waitFor(() => recordings()[index].askedToRecord, 'the file-start step');
  const recording = recordings()[index];
  assert.equal(recording.path, path);
  assert.equal(recording.preset, 'high');
  assert.equal(recording.sessionRunning, true);
  assert.equal(lumbra.isRecording(), true);
  assert.equal(fake.reportStart(index), true);
  await started.nth(startedBefore + 1, 'the started callback');

  // stopping
  assert.equal(lumbra.stopIOSRecording(), true);
  assert.equal(recordings()[index].stops, 1);
  assert.equal(lumbra.isRecording(), false);
  assert.equal(lumbra.stopIOSRecording(), false);
  assert.equal(await nextError(), 'Output is not currently recording');
  assert.equal(lumbra.startIOSRecording('phone', newPath()), false);
  assert.equal(await nextError(), 'Recording already in progress');

  // finishing, then idle 0.1 s later with the session stopped
  assert.equal(fake.reportFinish(undefined, undefined, index), true);
  assert.equal(await stopped.nth(stoppedBefore + 1, 'the stopped callback'), path);
  await waitIdle();
  await waitFor(() => recordings()[index].sessionRunning === false, 'the session teardown');
});

test('the platform finishing a file by itself: stopped callback, then idle', async () => {
  const stoppedBefore = stopped.calls.length;
  const { path, index } = await startRecordingFile();
  fake.reportFinish(undefined, undefined, index);
  assert.equal(await stopped.nth(stoppedBefore + 1), path);
  await waitIdle();
});

test('a finish with an error: only the error message, then idle', async () => {
  const stoppedBefore = stopped.calls.length;
  const { index } = await startRecordingFile();
  assert.equal(lumbra.stopIOSRecording(), true);
  fake.reportFinish('The disk is full.', -11807, index);
  assert.equal(await nextError(), 'Recording finished with error: The disk is full. (Code: -11807)');
  await waitIdle();
  assert.equal(stopped.calls.length, stoppedBefore);
});

test('a session that fails to start: "Capture session failed to start", then idle', async () => {
  // A misspelt operation scripts nothing and says so.
  assert.throws(() => fake.failNext('captureSession.startrunning'), TypeError);
  fake.failNext('captureSession.startRunning');
  assert.equal(lumbra.startIOSRecording('phone', newPath()), true);
  const index = recordings().length - 1;
  assert.equal(await nextError(), 'Capture session failed to start');
  await waitIdle();
  assert.equal(recordings()[index].askedToRecord, false);
});

test('cancelling a recording: true, not recording at once; its finish is still reported', async () => {
  const stoppedBefore = stopped.calls.length;
  const { path, index } = await startRecordingFile();
  assert.equal(lumbra.cancelIOSRecording(), true);
  assert.equal(lumbra.isRecording(), false);
  assert.equal(recordings()[index].stops, 1);
  assert.equal(lumbra.stopIOSRecording(), false);
  assert.equal(await nextError(), 'No active recording session');
  fake.reportFinish(undefined, undefined, index);
  assert.equal(await stopped.nth(stoppedBefore + 1), path);
  await waitIdle();
});

test('the file-start step of a cancelled recording does nothing, also to a newer recording', async () => {
  const errorsBefore = errors.calls.length;
  assert.equal(lumbra.startIOSRecording('phone', newPath()), true);
  const cancelled = recordings().length - 1;
  await waitFor(() => recordings()[cancelled].sessionRunning, 'the session start');
  assert.equal(lumbra.cancelIOSRecording(), true);
  const newer = newPath();
  assert.equal(lumbra.startIOSRecording('phone', newer), true);
  const current = recordings().length - 1;
  // The cancelled recording's step was due 0.5 s after its session started: every
  // main-queue step due within 0.7 s from now has run once this returns.
  fake.waitMainQueue(700);
  assert.equal(recordings()[cancelled].askedToRecord, false);
  assert.equal(errors.calls.length, errorsBefore);
  await waitFor(() => recordings()[current].askedToRecord, 'the newer file-start step');
  assert.equal(lumbra.isRecording(), true);
  assert.equal(lumbra.cancelIOSRecording(), true);
});

test("a cancelled recording's late finish never ends a newer recording", async () => {
  const stoppedBefore = stopped.calls.length;
  const first = await startRecordingFile();
  assert.equal(lumbra.cancelIOSRecording(), true);
  const second = await startRecordingFile();
  fake.reportFinish(undefined, undefined, first.index);
  assert.equal(await stopped.nth(stoppedBefore + 1), first.path);
  // The finish's clean-up was due 0.1 s after it: it has run once this returns.
  fake.waitMainQueue(300);
  assert.equal(lumbra.isRecording(), true);
  assert.equal(lumbra.stopIOSRecording(), true);
  fake.reportFinish(undefined, undefined, second.index);
  assert.equal(await stopped.nth(stoppedBefore + 2), second.path);
  await waitIdle();
});
