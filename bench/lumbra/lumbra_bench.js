'use strict';
// Times the Linux lumbra plug-in: listIOSDevices() with 4 phones behind a stand-in
// usbmuxd (lockdown asked for each phone's name, model and trust), and
// listAllDevices() (the cameras and microphones of the machine).
//
//   node bench/lumbra/lumbra_bench.js [build dir] [repetitions]
// Run it with a sound server (scripts/services.sh) so that the microphones are listed.

const path = require('node:path');
const { performance } = require('node:perf_hooks');
const { startStandIn } = require('../../tests/lumbra/support/usbmuxd.js');

const buildDir = path.resolve(process.argv[2] || 'build/default');
const repetitions = Number(process.argv[3] || 50);

const phones = [1, 2, 3, 4].map((n) => ({
  udid: `00008110-00000000000000${n}E`,
  name: `Bench iPhone ${n}`,
  model: 'iPhone14,2',
  trusted: n % 2 === 1,
}));

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  return sorted[Math.floor(sorted.length / 2)];
}

function time(fn) {
  fn();  // warm-up
  const samples = [];
  for (let i = 0; i < repetitions; i++) {
    const start = performance.now();
    fn();
    samples.push(performance.now() - start);
  }
  return median(samples);
}

(async () => {
  const standIn = await startStandIn(phones);
  process.env.USBMUXD_SOCKET_ADDRESS = standIn.address;
  const lumbra = require(path.join(buildDir, 'src/device/lumbra.node'));
  const listed = lumbra.listIOSDevices();
  if (listed.length !== 4) throw new Error(`expected 4 phones, got ${JSON.stringify(listed)}`);
  const all = lumbra.listAllDevices();
  const ios = time(() => lumbra.listIOSDevices());
  const allDevices = time(() => lumbra.listAllDevices());
  console.log(`listIOSDevices(), 4 stand-in phones: median ${ios.toFixed(2)} ms (${repetitions} calls)`);
  console.log(`listAllDevices(), ${all.webcams.length} cameras and ${all.audios.length} microphones: ` +
    `median ${allDevices.toFixed(3)} ms (${repetitions} calls)`);
  await standIn.stop();
  process.exit(0);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
