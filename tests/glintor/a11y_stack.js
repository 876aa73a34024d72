'use strict';
// A private accessibility stack for the glintor tests: Xvfb, a D-Bus session bus
// (which starts at-spi2-core's bus launcher and registry on demand), accessibility
// switched on, and the GTK 3 test window. Everything runs in the test's own
// process group and private folders; stop() ends what start() started.

const { spawn, execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

const DEADLINE_MS = 60000;  // a busy machine may take long to start Xvfb and GTK

function firstLine(stream, what) {
  return new Promise((resolve, reject) => {
    const lines = readline.createInterface({ input: stream });
    const timer = setTimeout(() => reject(new Error(`${what}: no answer within ${DEADLINE_MS} ms`)), DEADLINE_MS);
    lines.once('line', (line) => {
      clearTimeout(timer);
      resolve(line.trim());
      lines.close();
    });
    lines.once('close', () => {
      clearTimeout(timer);
      reject(new Error(`${what}: ended without an answer`));
    });
  });
}

// The accessibility bus's IsEnabled switch, through the session bus.
function setAccessibilityEnabled(env, enabled) {
  execFileSync('dbus-send', ['--session', '--print-reply', '--dest=org.a11y.Bus', '/org/a11y/bus',
    'org.freedesktop.DBus.Properties.Set', 'string:org.a11y.Status', 'string:IsEnabled',
    `variant:boolean:${enabled}`], { env, stdio: 'ignore', timeout: DEADLINE_MS });
}

async function startStack({ window = true } = {}) {
  const children = [];
  const runtimeDir = fs.mkdtempSync(path.join(os.tmpdir(), 'glintor-a11y-'));
  fs.chmodSync(runtimeDir, 0o700);
  const stopAll = () => {
    for (const child of children.reverse()) {
      try {
        if (child.group) process.kill(-child.process.pid, 'SIGTERM');
        else child.process.kill('SIGTERM');
      } catch { /* already gone */ }
    }
    children.length = 0;
    fs.rmSync(runtimeDir, { recursive: true, force: true });
  };
  process.once('exit', stopAll);

  // The stack's programs are not the plug-in's: a sanitizer runtime that a
  // sanitized build preloads into node stays out of them.
  const plainEnv = { ...process.env };
  delete plainEnv.LD_PRELOAD;
  delete plainEnv.ASAN_OPTIONS;
  try {
    // Xvfb picks a free display itself and writes its number to descriptor 3.
    const xvfb = spawn('Xvfb', ['-displayfd', '3', '-screen', '0', '1280x800x24', '-nolisten', 'tcp'],
      { stdio: ['ignore', 'ignore', 'ignore', 'pipe'], env: plainEnv });
    children.push({ process: xvfb });
    const display = ':' + await firstLine(xvfb.stdio[3], 'Xvfb');

    const env = { ...plainEnv, DISPLAY: display, XDG_RUNTIME_DIR: runtimeDir };
    delete env.AT_SPI_BUS_ADDRESS;
    delete env.NO_AT_BRIDGE;
    // Its own process group: the bus launcher, the accessibility bus and the
    // registry it starts go with it.
    const bus = spawn('dbus-daemon', ['--session', '--nofork', '--nopidfile', '--print-address=1'],
      { stdio: ['ignore', 'pipe', 'ignore'], env, detached: true });
    children.push({ process: bus, group: true });
    env.DBUS_SESSION_BUS_ADDRESS = await firstLine(bus.stdout, 'dbus-daemon');
    setAccessibilityEnabled(env, true);

    let rects = null;
    if (window) {
      const gtk = spawn('/usr/bin/python3', [path.join(__dirname, 'test_window.py')],
        { stdio: ['pipe', 'pipe', 'inherit'], env });
      children.push({ process: gtk });
      rects = JSON.parse(await firstLine(gtk.stdout, 'GTK test window'));
    }

    // Should this process die without its exit handlers (a crash), a watchdog ends
    // the stack once it is gone.
    const targets = children.map((child) => (child.group ? `-${child.process.pid}` : `${child.process.pid}`));
    const watchdog = spawn('sh', ['-c', `while kill -0 ${process.pid} 2>/dev/null; do sleep 1; done; ` +
      `kill -TERM ${targets.join(' ')} 2>/dev/null; rm -rf '${runtimeDir}'`],
    { stdio: 'ignore', detached: true, env: plainEnv });
    watchdog.unref();
    children.unshift({ process: watchdog });

    // The plug-in reads these when it first reaches the display and the buses.
    for (const name of ['DISPLAY', 'XDG_RUNTIME_DIR', 'DBUS_SESSION_BUS_ADDRESS']) process.env[name] = env[name];
    delete process.env.AT_SPI_BUS_ADDRESS;

    return {
      env,
      display,
      rects,
      // Moves the pointer with XTest to a point of the screen.
      moveTo(x, y) {
        execFileSync('xdotool', ['mousemove', String(Math.round(x)), String(Math.round(y))],
          { env, stdio: 'ignore', timeout: DEADLINE_MS });
      },
      // The middle of a named rectangle of the test window.
      centre(name) {
        const r = rects[name];
        return [r.x + r.width / 2, r.y + r.height / 2];
      },
      setAccessibilityEnabled(enabled) { setAccessibilityEnabled(env, enabled); },
      stop() {
        process.removeListener('exit', stopAll);
        stopAll();
      },
    };
  } catch (error) {
    stopAll();
    throw error;
  }
}

// Resolves with the first value that a poll gives as truthy, or rejects at the deadline.
async function waitFor(what, poll, deadlineMs = DEADLINE_MS) {
  const end = Date.now() + deadlineMs;
  for (;;) {
    const value = await poll();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// Collects a monitor's reports; next() resolves with the next one.
function reportCollector() {
  const reports = [];
  return {
    reports,
    callback(kind) {
      reports.push(kind);
    },
    async next(count = reports.length + 1) {
      await waitFor(`report number ${count} (have ${JSON.stringify(reports)})`, () => reports.length >= count);
      return reports[count - 1];
    },
  };
}

module.exports = { startStack, waitFor, reportCollector, DEADLINE_MS };
