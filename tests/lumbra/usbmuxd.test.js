'use strict';
// The Linux plug-in without a phone: a stand-in usbmuxd on a private socket lists
// one trusted and one untrusted phone and reports a third attaching and detaching.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { addonPath, waitFor, collector } = require('./support/harness.js');
const { startStandIn } = require('./support/usbmuxd.js');

const trusted = { udid: '00008110-000A11112222801E', name: "Ana's iPhone", model: 'iPhone14,2', trusted: true };
const untrusted = { udid: '00008027-000B33334444402E', name: 'Studio iPad', model: 'iPad8,9', trusted: false };
const attaching = { udid: '00008120-000C55556666C01E', name: 'Test iPhone', model: 'iPhone15,4', trusted: true };

let standIn;
let lumbra;

before(async () => {
  standIn = await startStandIn([trusted, untrusted]);
  // libusbmuxd reads the address at every connection: set before the plug-in is loaded.
  process.env.USBMUXD_SOCKET_ADDRESS = standIn.address;
  lumbra = require(addonPath());
});

after(async () => {
  await standIn.stop();
  // The channels keep the event loop alive.
  setImmediate(() => process.exit());
});

test('the phones usbmuxd lists, with lockdown names, models and trust', async () => {
  assert.deepEqual(lumbra.listIOSDevices(), [
    { deviceId: trusted.udid, name: trusted.name, model: trusted.model, trusted: true },
    { deviceId: untrusted.udid, name: untrusted.name, model: untrusted.model, trusted: false },
  ]);
  assert.deepEqual(lumbra.getDeviceInfo(untrusted.udid), { deviceId: untrusted.udid, name: untrusted.name, model: untrusted.model });
  assert.equal(lumbra.isDeviceTrusted(trusted.udid), true);
  assert.equal(lumbra.isDeviceTrusted(untrusted.udid), false);
  assert.equal(lumbra.getDeviceInfo('00000000-NOT-ATTACHED'), null);
  // Trust was asked of lockdown in a session, after reading the pair record (the
  // stand-in's log of requests arrives through a pipe, so it is waited for).
  for (const request of ['usbmuxd ListDevices', 'usbmuxd Connect', 'usbmuxd ReadPairRecord', 'lockdown GetValue', 'lockdown StartSession']) {
    await waitFor(() => standIn.requests.includes(request), request);
  }
});

test('recording a phone fails on Linux with the reason', async () => {
  const errors = collector();
  lumbra.onRecordingError(errors.fn);
  assert.equal(lumbra.startIOSRecording(trusted.udid, '/tmp/never-written.mov'), false);
  assert.equal(await errors.nth(1), 'Failed to start recording: There is no route to capture the screen of an iOS device on Linux.');
  assert.equal(lumbra.startIOSRecording(untrusted.udid, '/tmp/never-written.mov'), false);
  assert.equal(await errors.nth(2), 'Device is suspended (not trusted). Please trust this device on your iPhone/iPad.');
  assert.equal(lumbra.isRecording(), false);
});

test('a phone attaching and detaching reaches JavaScript with its UDID', async () => {
  const connections = collector();
  const disconnections = collector();
  lumbra.onDeviceConnected(connections.fn);
  lumbra.onDeviceDisconnected(disconnections.fn);
  standIn.attach(attaching);
  assert.equal(await connections.nth(1, 'the attach report'), attaching.udid);
  assert.equal(lumbra.isDeviceTrusted(attaching.udid), true);
  standIn.detach(attaching.udid);
  assert.equal(await disconnections.nth(1, 'the detach report'), attaching.udid);
  assert.equal(lumbra.getDeviceInfo(attaching.udid), null);
  assert.deepEqual(connections.calls, [attaching.udid]);
});

test('the camera and microphone lists come from the engine listing', () => {
  const all = lumbra.listAllDevices();
  assert.deepEqual(Object.keys(all).sort(), ['audios', 'webcams']);
  for (const record of [...all.webcams, ...all.audios]) {
    assert.deepEqual(Object.keys(record).sort(), ['id', 'name']);
    assert.equal(typeof record.id, 'string');
  }
  // The phones are neither cameras nor microphones.
  assert.ok(!all.webcams.some((record) => record.id === trusted.udid));
});
