'use strict';
// Starts the stand-in usbmuxd (usbmuxd_standin.js) on a private socket and drives it.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const readline = require('node:readline');

// Resolves once the stand-in listens; the caller points USBMUXD_SOCKET_ADDRESS at `address`.
function startStandIn(phones) {
  const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'lumbra-usbmuxd-'));
  const socketPath = path.join(directory, 'usbmuxd.sock');
  const child = spawn(process.execPath, [path.join(__dirname, 'usbmuxd_standin.js'), socketPath, JSON.stringify(phones)], {
    stdio: ['pipe', 'pipe', 'inherit'],
  });
  const requests = [];
  return new Promise((resolve, reject) => {
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`the stand-in usbmuxd ended early (${code})`)));
    readline.createInterface({ input: child.stdout }).on('line', (line) => {
      if (line !== 'ready') {
        requests.push(line);
        return;
      }
      child.removeAllListeners('exit');
      resolve({
        address: `UNIX:${socketPath}`,
        requests,
        attach: (phone) => child.stdin.write(`attach ${JSON.stringify(phone)}\n`),
        detach: (udid) => child.stdin.write(`detach ${udid}\n`),
        stop: () => new Promise((done) => {
          child.on('exit', () => {
            fs.rmSync(directory, { recursive: true, force: true });
            done();
          });
          child.stdin.end();
        }),
      });
    });
  });
}

module.exports = { startStandIn };
