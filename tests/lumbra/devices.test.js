'use strict';
// Which muxed devices are listed, their info and their trust, over the fake platform.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { testAddonPath, exitWhenDone } = require('./support/harness.js');

const lumbra = require(testAddonPath());
const { fake } = lumbra;
exitWhenDone();

test('no device: an empty list', () => {
  assert.deepEqual(lumbra.listIOSDevices(), []);
});

test('loading the plug-in makes screen-capture devices visible', () => {
  assert.equal(fake.screenCaptureDevicesAllowed(), true);
});

test('the qualifying rules of the list, in the platform order', () => {
  const cases = [
    // [device, listed]
    [{ id: 'apple-maker', manufacturer: 'Apple Inc.', name: 'Capture', model: 'X1' }, true],
    [{ id: 'maker-case', manufacturer: 'apple inc.', name: 'Capture', model: 'X1' }, false],
    [{ id: 'name-iphone', manufacturer: 'Acme', name: 'My iPhone', model: 'X1' }, true],
    [{ id: 'name-upper', manufacturer: 'Acme', name: 'IPHONE', model: 'X1' }, true],
    [{ id: 'name-ipad', manufacturer: 'Acme', name: 'My iPad Pro', model: 'X1' }, true],
    [{ id: 'model-iphone', manufacturer: 'Acme', name: 'Capture', model: 'iPhone15,3' }, true],
    [{ id: 'model-ipad', manufacturer: 'Acme', name: 'Capture', model: 'IPAD7,1' }, true],
    [{ id: 'other', manufacturer: 'Acme', name: 'Capture card', model: 'CC-1' }, false],
    [{ id: 'disconnected', manufacturer: 'Apple Inc.', name: 'iPhone', model: 'iPhone15,3', connected: false }, false],
    [{ id: 'camera', manufacturer: 'Apple Inc.', name: 'iPhone camera', model: 'iPhone15,3', media: 'video' }, false],
    [{ id: 'suspended', manufacturer: 'Apple Inc.', name: 'iPhone', model: 'iPhone15,3', suspended: true }, true],
  ];
  for (const [device] of cases) fake.addDevice(device);
  const listed = lumbra.listIOSDevices();
  assert.deepEqual(listed.map((device) => device.deviceId), cases.filter(([, yes]) => yes).map(([device]) => device.id));
  const byId = Object.fromEntries(listed.map((device) => [device.deviceId, device]));
  assert.deepEqual(byId['name-iphone'], { deviceId: 'name-iphone', name: 'My iPhone', model: 'X1', trusted: true });
  assert.equal(byId.suspended.trusted, false);
  for (const [device] of cases) fake.removeDevice(device.id);
});

test('device info: any media type, connected or not; null for an unknown ID', () => {
  fake.addDevice({ id: 'info-camera', name: 'FaceTime HD', model: 'Cam1', media: 'video', type: 'builtInWideAngleCamera' });
  fake.addDevice({ id: 'info-gone', manufacturer: 'Apple Inc.', name: 'Old iPad', model: 'iPad7,1', connected: false });
  assert.deepEqual(lumbra.getDeviceInfo('info-camera'), { deviceId: 'info-camera', name: 'FaceTime HD', model: 'Cam1' });
  assert.deepEqual(lumbra.getDeviceInfo('info-gone'), { deviceId: 'info-gone', name: 'Old iPad', model: 'iPad7,1' });
  assert.equal(lumbra.getDeviceInfo('no-such-device'), null);
  // A text holding a NUL names no device, never the one named by the part before it.
  assert.equal(lumbra.getDeviceInfo('info-camera\0zzz'), null);
  assert.equal(lumbra.getDeviceInfo('\0'), null);
  fake.removeDevice('info-camera');
  fake.removeDevice('info-gone');
});

test('trust: false for unknown, disconnected and suspended devices', () => {
  fake.addDevice({ id: 't-ok', manufacturer: 'Apple Inc.', name: 'iPhone' });
  fake.addDevice({ id: 't-disconnected', manufacturer: 'Apple Inc.', name: 'iPhone', connected: false });
  fake.addDevice({ id: 't-suspended', manufacturer: 'Apple Inc.', name: 'iPhone', suspended: true });
  const cases = [['t-ok', true], ['t-unknown', false], ['t-disconnected', false], ['t-suspended', false],
    ['t-ok\0zzz', false]];
  for (const [id, trusted] of cases) assert.equal(lumbra.isDeviceTrusted(id), trusted, id);
  for (const [id] of cases) fake.removeDevice(id);
});

test('a device vanishing between the list and the info: name and model null, not trusted', () => {
  fake.addDevice({ id: 'stays', manufacturer: 'Apple Inc.', name: 'iPhone A', model: 'iPhone14,2' });
  fake.addDevice({ id: 'vanishes', manufacturer: 'Apple Inc.', name: 'iPhone B', model: 'iPhone14,3' });
  fake.removeAfterNextListing('vanishes');
  assert.deepEqual(lumbra.listIOSDevices(), [
    { deviceId: 'stays', name: 'iPhone A', model: 'iPhone14,2', trusted: true },
    { deviceId: 'vanishes', name: null, model: null, trusted: false },
  ]);
  fake.removeDevice('stays');
});

test('IDs and names travel intact through UTF-8', () => {
  fake.addDevice({ id: 'ü/日本-1', manufacturer: 'Apple Inc.', name: 'Zoë’s iPhone ✓', model: 'iPhone16,1' });
  assert.deepEqual(lumbra.listIOSDevices(), [{ deviceId: 'ü/日本-1', name: 'Zoë’s iPhone ✓', model: 'iPhone16,1', trusted: true }]);
  assert.deepEqual(lumbra.getDeviceInfo('ü/日本-1'), { deviceId: 'ü/日本-1', name: 'Zoë’s iPhone ✓', model: 'iPhone16,1' });
  fake.removeDevice('ü/日本-1');
});
