'use strict';
// Shared pieces of the lumbra tests: loading the plug-in, waiting for callbacks,
// and ending the process once its tests are done (live channels keep it alive).

const { after } = require('node:test');

function testAddonPath() {
  const path = process.env.LUMBRA_TEST_ADDON;
  if (!path) throw new Error('LUMBRA_TEST_ADDON is not set (ctest sets it)');
  return path;
}

function addonPath() {
  const path = process.env.LUMBRA_ADDON;
  if (!path) throw new Error('LUMBRA_ADDON is not set (ctest sets it)');
  return path;
}

// Generous: the machine running the tests may be busy.
const kDeadlineMs = 20000;

// Resolves once predicate() holds; rejects with `what` after the deadline.
function waitFor(predicate, what, deadlineMs = kDeadlineMs) {
  const start = Date.now();
  return new Promise((resolve, reject) => {
    const check = () => {
      let value;
      try {
        value = predicate();
      } catch (error) {
        return reject(error);
      }
      if (value) return resolve(value);
      if (Date.now() - start > deadlineMs) return reject(new Error(`timed out waiting for ${what}`));
      setTimeout(check, 5);
    };
    check();
  });
}

// Collects the arguments of every call of its function, in order.
function collector() {
  const calls = [];
  const fn = (...args) => calls.push(args.length === 1 ? args[0] : args);
  return {
    calls,
    fn,
    // Waits until `count` calls have arrived in total and returns the call at index count - 1.
    async nth(count, what = `call ${count}`) {
      await waitFor(() => calls.length >= count, what);
      return calls[count - 1];
    },
  };
}

// Registered channels keep the event loop alive for good: end the process when the tests are done.
function exitWhenDone() {
  after(() => setImmediate(() => process.exit()));
}

module.exports = { testAddonPath, addonPath, waitFor, collector, exitWhenDone };
