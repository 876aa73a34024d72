'use strict';
// Connections and disconnections of iOS devices reaching JavaScript, over the fake platform.

const { test } = require('node:test');
const assert = require('node:assert/strict');
const { testAddonPath, waitFor, collector, exitWhenDone } = require('./support/harness.js');

const lumbra = require(testAddonPath());
const { fake } = lumbra;
exitWhenDone();

const iphone = (id) => ({ id, manufacturer: 'Apple Inc.', name: 'iPhone', model: 'iPhone15,3' });
const webcam = { id: 'webcam-1', name: 'USB camera', media: 'video', type: 'external' };
const microphone = { id: 'mic-1', name: 'USB microphone', media: 'audio', type: 'microphone' };

// Registered first: the disconnection callback is registered later, by the test about lost events.
const connections = collector();

test('one pair of observers is installed when the plug-in loads', () => {
  assert.equal(fake.observerCount(), 2);
});

test('a disconnection before its callback is registered is lost', async () => {
  lumbra.onDeviceConnected(connections.fn);
  fake.postDisconnection(iphone('lost-before-registration'));
  // Notifications are handled in order on the main queue: once this connection has
  // arrived, the disconnection before it has been handled (and dropped).
  fake.postConnection(iphone('marker-1'));
  assert.equal(await connections.nth(1), 'marker-1');
  const disconnections = collector();
  lumbra.onDeviceDisconnected(disconnections.fn);
  fake.postDisconnection(iphone('after-registration'));
  assert.equal(await disconnections.nth(1), 'after-registration');
  assert.deepEqual(disconnections.calls, ['after-registration']);
});

test('a webcam or microphone connecting is not reported; an iPhone is, with its ID', async () => {
  const before = connections.calls.length;
  fake.postConnection(webcam);
  fake.postConnection(microphone);
  fake.postConnection(iphone('00008110-000A1B2C3D4E5F60'));
  assert.equal(await connections.nth(before + 1), '00008110-000A1B2C3D4E5F60');
  fake.postConnection(iphone('marker-2'));
  await connections.nth(before + 2);
  assert.deepEqual(connections.calls.slice(before), ['00008110-000A1B2C3D4E5F60', 'marker-2']);
});

test('a connection reports any muxed device, whatever its maker or name', async () => {
  const before = connections.calls.length;
  fake.postConnection({ id: 'capture-card', manufacturer: 'Acme', name: 'Capture card' });
  assert.equal(await connections.nth(before + 1), 'capture-card');
});

test('the device ID arrives intact, also with non-ASCII text', async () => {
  const before = connections.calls.length;
  const id = 'ü/日本-✓-' + 'x'.repeat(200);
  fake.postConnection(iphone(id));
  assert.equal(await connections.nth(before + 1), id);
});

test('a second registration replaces the first: later connections reach only the second', async () => {
  const first = collector();
  const second = collector();
  lumbra.onDeviceConnected(first.fn);
  fake.postConnection(iphone('to-first'));
  assert.equal(await first.nth(1), 'to-first');
  lumbra.onDeviceConnected(second.fn);
  fake.postConnection(iphone('to-second-1'));
  fake.postConnection(iphone('to-second-2'));
  assert.equal(await second.nth(2), 'to-second-2');
  assert.deepEqual(first.calls, ['to-first']);
  assert.deepEqual(second.calls, ['to-second-1', 'to-second-2']);
});

test('registering another callback adds no observers', () => {
  assert.equal(fake.observerCount(), 2);
});

// The main-queue thread reports connections and disconnections while JavaScript
// replaces both callbacks again and again: every report reaches exactly one of
// the callbacks, exactly once (those queued before a replacement the old one).
test('replacing the device callbacks while reports stream in loses and repeats none', async () => {
  const kReports = 2000;
  const kReplacements = 500;
  const delivered = { connected: new Map(), disconnected: new Map() };
  const count = (kind) => (id) => delivered[kind].set(id, (delivered[kind].get(id) ?? 0) + 1);
  const total = (kind) => [...delivered[kind].values()].reduce((sum, times) => sum + times, 0);
  lumbra.onDeviceConnected(count('connected'));
  lumbra.onDeviceDisconnected(count('disconnected'));
  for (let i = 0; i < kReports; i++) {
    fake.postConnection(iphone(`stream-${i}`));
    fake.postDisconnection(iphone(`stream-${i}`));
    if (i % (kReports / kReplacements) === 0) {
      // A new function each time: a channel of its own for every registration.
      lumbra.onDeviceConnected(count('connected'));
      lumbra.onDeviceDisconnected(count('disconnected'));
    }
  }
  await waitFor(() => total('connected') >= kReports && total('disconnected') >= kReports, 'every report');
  // A last report after all of them, through the last channels, flushes any straggler.
  fake.postConnection(iphone('stream-end'));
  await waitFor(() => delivered.connected.has('stream-end'), 'the last report');
  for (const kind of ['connected', 'disconnected']) {
    const repeated = [...delivered[kind]].filter(([, times]) => times !== 1);
    assert.deepEqual(repeated, [], `${kind}: delivered more than once`);
    for (let i = 0; i < kReports; i++) assert.ok(delivered[kind].has(`stream-${i}`), `${kind}: stream-${i} lost`);
  }
});
