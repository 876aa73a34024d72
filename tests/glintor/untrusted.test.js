'use strict';
// glintor with no accessibility bus at all: the session bus cannot be reached.

const test = require('node:test');
const assert = require('node:assert/strict');

// Before the plug-in is loaded: a session bus address that leads nowhere, no
// runtime folder to find a user bus in, no accessibility bus given directly.
process.env.DBUS_SESSION_BUS_ADDRESS = 'unix:path=/nonexistent/glintor-no-bus';
delete process.env.XDG_RUNTIME_DIR;
delete process.env.AT_SPI_BUS_ADDRESS;
const { CursorAXMonitor } = require(process.env.GLINTOR_ADDON);

const permissionText =
  'Accessibility permission required. Enable in System Preferences > Security & Privacy > Privacy > Accessibility';

test('without an accessibility bus the process is not trusted and start throws', () => {
  const monitor = new CursorAXMonitor();
  assert.equal(monitor.checkPermissions(), false);
  assert.throws(() => monitor.start(() => {}), { name: 'Error', message: permissionText });
  assert.equal(monitor.isRunning(), false);
  assert.equal(monitor.stop(), true);
});

test('a missing callback is told before the missing permission', () => {
  const monitor = new CursorAXMonitor();
  assert.throws(() => monitor.start(), { name: 'TypeError', message: 'Callback function required' });
  assert.throws(() => monitor.start({}), { name: 'TypeError', message: 'Callback function required' });
});

test('the class must be called with new; arguments are ignored', () => {
  assert.throws(() => CursorAXMonitor(), TypeError);
  const monitor = new CursorAXMonitor(1, 'two', {});
  assert.equal(monitor.isRunning(), false);
});

test('the six methods are on the prototype, not writable, enumerable or configurable', () => {
  const names = ['start', 'stop', 'checkPermissions', 'setPollInterval', 'getPollInterval', 'isRunning'];
  for (const name of names) {
    const descriptor = Object.getOwnPropertyDescriptor(CursorAXMonitor.prototype, name);
    assert.equal(typeof descriptor.value, 'function', name);
    assert.equal(descriptor.writable, false, name);
    assert.equal(descriptor.enumerable, false, name);
    assert.equal(descriptor.configurable, false, name);
  }
});
