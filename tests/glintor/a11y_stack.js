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

// The processes of a process group, from /proc.
function processGroup(groupId) {
  const found = [];
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      const [state, , group] = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
      if (Number(group) === groupId && state !== 'Z') found.push(Number(entry));
    } catch { /* gone meanwhile */ }
  }
  return found;
}

function commandOf(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0').join(' ');
  } catch {
    return '';
  }
}

async function startStack({ window = true } = {}) {
  const children = [];
  const runtimeDir = fs.mkdtempSync(path.join(os.tmpdir(), 'glintor-a11y-'));
  fs.chmodSync(runtimeDir, 0o700);
  const stopAll = () => {
    for (const child of children.reverse()) {
      // A test may have stopped a process; it must be continued to end.
      for (const signal of ['SIGCONT', 'SIGTERM']) {
        try {
          if (child.group) process.kill(-child.process.pid, signal);
          else child.process.kill(signal);
        } catch { /* already gone */ }
      }
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

    // Another GTK 3 application showing the test window at (x, y), with extra
    // top-level windows beside it.
    const startApplication = async (x = 100, y = 80, extraWindows = 0) => {
      const gtk = spawn('/usr/bin/python3', [path.join(__dirname, 'test_window.py'), String(x), String(y),
        String(extraWindows)], { stdio: ['pipe', 'pipe', 'inherit'], env });
      const child = { process: gtk };
      children.push(child);
      const windowRects = JSON.parse(await firstLine(gtk.stdout, 'GTK test window'));
      return {
        pid: gtk.pid,
        rects: windowRects,
        stop() {
          gtk.kill('SIGCONT');
          gtk.kill('SIGTERM');
          const index = children.indexOf(child);
          if (index >= 0) children.splice(index, 1);
        },
      };
    };
    let rects = null;
    let application = null;
    if (window) {
      application = await startApplication();
      rects = application.rects;
    }

    // Should this process die without its exit handlers (a crash), a watchdog ends
    // the stack once it is gone.
    const targets = children.map((child) => (child.group ? `-${child.process.pid}` : `${child.process.pid}`));
    const watchdog = spawn('sh', ['-c', `while kill -0 ${process.pid} 2>/dev/null; do sleep 1; done; ` +
      `kill -CONT ${targets.join(' ')} 2>/dev/null; kill -TERM ${targets.join(' ')} 2>/dev/null; rm -rf '${runtimeDir}'`],
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
      application,
      startApplication,
      sessionBusPid: bus.pid,
      // The accessibility bus's daemons, started by the session bus on demand in
      // its process group: at-spi-bus-launcher and the accessibility bus's own
      // dbus-daemon (the one with the accessibility configuration).
      accessibilityBusPids() {
        const group = processGroup(bus.pid);
        return {
          launchers: group.filter((pid) => commandOf(pid).includes('at-spi-bus-launcher')),
          daemons: group.filter((pid) => commandOf(pid).includes('accessibility.conf')),
        };
      },
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
