'use strict';
// The JavaScript face of the plug-in: its exports, TypeErrors, default results and
// listAllDevices through the host's JSON.parse, over the fake platform.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { spawnSync } = require('node:child_process');
const { testAddonPath, waitFor, collector, exitWhenDone } = require('./support/harness.js');

const lumbra = require(testAddonPath());
const { fake } = lumbra;
exitWhenDone();

test('thirteen functions in their order, without names of their own', () => {
  const names = [
    'listIOSDevices', 'getDeviceInfo', 'isDeviceTrusted', 'onDeviceConnected', 'onDeviceDisconnected',
    'startIOSRecording', 'stopIOSRecording', 'cancelIOSRecording', 'isRecording', 'onRecordingStarted',
    'onRecordingStopped', 'onRecordingError', 'listAllDevices',
  ];
  // The test build adds its control functions after them.
  assert.deepEqual(Object.keys(lumbra).slice(0, 13), names);
  for (const name of names) {
    assert.equal(typeof lumbra[name], 'function');
    assert.equal(lumbra[name].name, '');
  }
});

test('without an error callback a failure still returns false, silently', () => {
  assert.equal(lumbra.startIOSRecording('no-such-phone', '/tmp/x.mov'), false);
  assert.equal(lumbra.stopIOSRecording(), false);
  assert.equal(lumbra.cancelIOSRecording(), false);
  assert.equal(lumbra.isRecording(), false);
});

test('bad arguments throw a TypeError with the listed text', () => {
  const fn = () => {};
  const cases = [
    ['getDeviceInfo', [], 'Device ID string expected'],
    ['getDeviceInfo', [42], 'Device ID string expected'],
    ['getDeviceInfo', [new String('boxed')], 'Device ID string expected'],
    ['isDeviceTrusted', [42], 'Device ID string expected'],
    ['isDeviceTrusted', [], 'Device ID string expected'],
    ['startIOSRecording', ['phone'], 'deviceId and outputPath strings expected'],
    ['startIOSRecording', ['phone', 42], 'deviceId and outputPath strings expected'],
    ['startIOSRecording', [42, '/tmp/x.mov'], 'deviceId and outputPath strings expected'],
    ['onDeviceConnected', [], 'Function expected'],
    ['onDeviceDisconnected', ['not a function'], 'Function expected'],
    ['onRecordingStarted', [{}], 'Function expected'],
    ['onRecordingStopped', [null], 'Function expected'],
    ['onRecordingError', ['not a function'], 'Function expected'],
  ];
  for (const [name, args, message] of cases) {
    assert.throws(() => lumbra[name](...args), (error) => error instanceof TypeError && error.message === message,
      `${name}(${args.map(String).join(', ')})`);
  }
  // Arguments beyond those listed are ignored.
  assert.equal(lumbra.isDeviceTrusted('no-such-phone', fn, 1), false);
});

test('a bad start calls nothing: no session is made', () => {
  fake.addDevice({ id: 'typed-phone', manufacturer: 'Apple Inc.', name: 'iPhone' });
  const sessions = fake.sessionCount();
  assert.throws(() => lumbra.startIOSRecording('typed-phone'), TypeError);
  assert.equal(fake.sessionCount(), sessions);
  fake.removeDevice('typed-phone');
});

test('a bad registration keeps the earlier callback', async () => {
  const errors = collector();
  lumbra.onRecordingError(errors.fn);
  assert.throws(() => lumbra.onRecordingError('not a function'), TypeError);
  assert.equal(lumbra.stopIOSRecording(), false);
  assert.equal(await errors.nth(1), 'No active recording session');
});

test("an error reaches its callback only after the call that caused it has returned", async () => {
  const order = [];
  lumbra.onRecordingError((message) => order.push(`callback: ${message}`));
  assert.equal(lumbra.startIOSRecording('no-such-phone', '/tmp/x.mov'), false);
  order.push('returned');
  await waitFor(() => order.length === 2, 'the error callback');
  assert.deepEqual(order, ['returned', 'callback: Device not found: no-such-phone']);
});

test('callbacks are called with this undefined', async () => {
  let receiver = 'unset';
  let done = false;
  lumbra.onDeviceConnected(function report() {
    'use strict';
    receiver = this;
    done = true;
  });
  fake.postConnection({ id: 'this-check', manufacturer: 'Apple Inc.' });
  await waitFor(() => done, 'the connection callback');
  assert.equal(receiver, undefined);
});

// The raw text the plug-in hands to JSON.parse, caught by a stand-in parse.
function rawAllDevicesText() {
  const original = JSON.parse;
  let text;
  JSON.parse = (value) => {
    text = value;
    return original(value);
  };
  try {
    lumbra.listAllDevices();
  } finally {
    JSON.parse = original;
  }
  return text;
}

test('all devices without cameras and microphones: two empty arrays', () => {
  assert.deepEqual(lumbra.listAllDevices(), { webcams: [], audios: [] });
  assert.equal(rawAllDevicesText(), '{"webcams":[],"audios":[]}');
});

test('all devices: compact, "/" escaped, records in the listing order', () => {
  fake.addDevice({ id: '/dev/video4', name: 'Front/Back', media: 'video', type: 'builtInWideAngleCamera' });
  fake.addDevice({ id: 'mic-b', name: 'Desk mic', media: 'audio', type: 'microphone' });
  fake.addDevice({ id: 'phone-x', manufacturer: 'Apple Inc.', name: 'iPhone' });
  fake.addDevice({ id: '/dev/video0', name: 'USB camera', media: 'video', type: 'external' });
  fake.addDevice({ id: 'mic-a', name: 'Zoë’s headset', media: 'audio', type: 'microphone' });
  fake.addDevice({ id: 'mic-old', name: 'Old built-in', media: 'audio', type: 'builtInMicrophone' });
  const text = rawAllDevicesText();
  assert.equal(text,
    '{"webcams":[{"id":"\\/dev\\/video4","name":"Front\\/Back"},{"id":"\\/dev\\/video0","name":"USB camera"}],' +
    '"audios":[{"id":"mic-b","name":"Desk mic"},{"id":"mic-a","name":"Zoë’s headset"}]}');
  assert.deepEqual(lumbra.listAllDevices(), {
    webcams: [{ id: '/dev/video4', name: 'Front/Back' }, { id: '/dev/video0', name: 'USB camera' }],
    audios: [{ id: 'mic-b', name: 'Desk mic' }, { id: 'mic-a', name: 'Zoë’s headset' }],
  });
  for (const id of ['/dev/video4', 'mic-b', 'phone-x', '/dev/video0', 'mic-a', 'mic-old']) fake.removeDevice(id);
});

test("listAllDevices calls the host's current JSON.parse at every call, with JSON as this", () => {
  const original = JSON.parse;
  const calls = [];
  JSON.parse = function parse(text) {
    calls.push({ self: this, text });
    return 'first replacement';
  };
  try {
    assert.equal(lumbra.listAllDevices(), 'first replacement');
    JSON.parse = () => 'second replacement';
    assert.equal(lumbra.listAllDevices(), 'second replacement');
  } finally {
    JSON.parse = original;
  }
  assert.equal(calls.length, 1);
  assert.equal(calls[0].self, JSON);
  assert.equal(calls[0].text, '{"webcams":[],"audios":[]}');

  const originalJSON = globalThis.JSON;
  globalThis.JSON = { parse: () => 'a whole new JSON' };
  try {
    assert.equal(lumbra.listAllDevices(), 'a whole new JSON');
  } finally {
    globalThis.JSON = originalJSON;
  }
  assert.deepEqual(lumbra.listAllDevices(), { webcams: [], audios: [] });
});

test("an exception of the host's JSON.parse reaches the caller", () => {
  const original = JSON.parse;
  JSON.parse = () => {
    throw new SyntaxError('refused');
  };
  try {
    assert.throws(() => lumbra.listAllDevices(), /refused/);
  } finally {
    JSON.parse = original;
  }
});

// An exception thrown by a callback is the host's own bug: it reaches the host as
// an uncaught exception, never dropped with a warning. In a child process, whose
// 'uncaughtException' handler is its own.
test('an exception thrown in a callback reaches the host as an uncaught exception', () => {
  const child = spawnSync(process.execPath, ['-e', `
    const lumbra = require(process.env.ADDON);
    const caught = [];
    process.on('uncaughtException', (error) => {
      caught.push(error.message);
      if (caught.length === 2) {
        console.log(caught.join(','));
        process.exit(0);
      }
    });
    lumbra.onDeviceConnected((id) => { throw new Error('connected ' + id); });
    lumbra.onRecordingError((message) => { throw new Error('error ' + message); });
    lumbra.fake.postConnection({ id: 'p1', manufacturer: 'Apple Inc.' });
    lumbra.startIOSRecording('p2', '/tmp/never.mov');
  `], { env: { ...process.env, ADDON: testAddonPath() }, encoding: 'utf8', timeout: 60000 });
  assert.equal(child.signal, null, child.stderr);
  assert.equal(child.status, 0, child.stderr);
  assert.deepEqual(child.stdout.trim().split(',').sort(), ['connected p1', 'error Device not found: p2']);
  assert.doesNotMatch(child.stderr, /DEP0168/);

  // Without a handler the process ends as for any uncaught exception, naming it.
  const unhandled = spawnSync(process.execPath, ['-e', `
    const lumbra = require(process.env.ADDON);
    lumbra.onDeviceConnected(() => { throw new Error('the host bug'); });
    lumbra.fake.postConnection({ id: 'p3', manufacturer: 'Apple Inc.' });
  `], { env: { ...process.env, ADDON: testAddonPath() }, encoding: 'utf8', timeout: 60000 });
  assert.equal(unhandled.status, 1, unhandled.stderr);
  assert.match(unhandled.stderr, /Error: the host bug/);
});
