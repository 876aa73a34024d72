'use strict';
// Stands in for usbmuxd on a private Unix socket, speaking its plist protocol,
// with the lockdown service of each phone behind "Connect" on port 62078.
//
//   node usbmuxd_standin.js <socket path> '<phones as JSON>'
// A phone is {udid, name, model, trusted}: a trusted phone has a pair record and
// accepts a lockdown session; an untrusted one has a pair record it refuses
// (StartSession fails with InvalidHostID). Phones listed at the start are attached.
// Standard input takes one command a line: "attach <phone as JSON>", "detach <udid>".
// Prints "ready" once it listens, and one line per answered request
// ("usbmuxd <MessageType>", "lockdown <Request>") for tests that look.

const net = require('node:net');
const fs = require('node:fs');
const readline = require('node:readline');
const plist = require('./plist.js');

const socketPath = process.argv[2];
const phones = new Map();
let nextDeviceID = 1;
const listeners = new Set();

const kPlistVersion = 1;
const kPlistMessage = 8;
const kLockdownPort = 62078;

function attach(phone) {
  const device = { ...phone, deviceID: nextDeviceID++ };
  phones.set(phone.udid, device);
  return device;
}

function properties(device) {
  return {
    ConnectionSpeed: 480000000,
    ConnectionType: 'USB',
    DeviceID: device.deviceID,
    LocationID: 0x14100000 + device.deviceID,
    ProductID: 0x12a8,
    SerialNumber: device.udid,
  };
}

function attachedMessage(device) {
  return { DeviceID: device.deviceID, MessageType: 'Attached', Properties: properties(device) };
}

function frame(payload, tag) {
  const body = Buffer.from(plist.serialize(payload), 'utf8');
  const header = Buffer.alloc(16);
  header.writeUInt32LE(16 + body.length, 0);
  header.writeUInt32LE(kPlistVersion, 4);
  header.writeUInt32LE(kPlistMessage, 8);
  header.writeUInt32LE(tag, 12);
  return Buffer.concat([header, body]);
}

function result(number) {
  return { MessageType: 'Result', Number: number };
}

function pairRecord(device) {
  return Buffer.from(plist.serialize({
    HostID: `HOST-${device.udid}`,
    SystemBUID: 'STANDIN-BUID',
    DeviceCertificate: Buffer.from('device'),
    HostCertificate: Buffer.from('host'),
    RootCertificate: Buffer.from('root'),
  }), 'utf8');
}

// After "Connect" the socket is a tunnel to the phone's lockdown service:
// big-endian length, then an XML plist.
function serveLockdown(socket, device, pending) {
  let buffer = pending;
  const answer = (payload) => {
    const body = Buffer.from(plist.serialize(payload), 'utf8');
    const length = Buffer.alloc(4);
    length.writeUInt32BE(body.length, 0);
    socket.write(Buffer.concat([length, body]));
  };
  const handle = (request) => {
    console.log(`lockdown ${request.Request}`);
    switch (request.Request) {
      case 'QueryType':
        return answer({ Request: 'QueryType', Type: 'com.apple.mobile.lockdown' });
      case 'GetValue': {
        const values = { DeviceName: device.name, ProductType: device.model, ProductVersion: '17.0', UniqueDeviceID: device.udid };
        if (request.Key in values) return answer({ Request: 'GetValue', Key: request.Key, Value: values[request.Key] });
        return answer({ Request: 'GetValue', Key: request.Key, Error: 'MissingValue' });
      }
      case 'StartSession':
        if (device.trusted && request.HostID === `HOST-${device.udid}`) {
          return answer({ Request: 'StartSession', SessionID: `SESSION-${device.udid}`, EnableSessionSSL: false });
        }
        return answer({ Request: 'StartSession', Error: 'InvalidHostID' });
      case 'StopSession':
        return answer({ Request: 'StopSession', Result: 'Success' });
      case 'Goodbye':
        answer({ Request: 'Goodbye', Result: 'Success' });
        return socket.end();
      default:
        return answer({ Request: request.Request, Error: 'InvalidRequest' });
    }
  };
  const drain = () => {
    while (buffer.length >= 4) {
      const length = buffer.readUInt32BE(0);
      if (buffer.length < 4 + length) return;
      const body = buffer.subarray(4, 4 + length).toString('utf8');
      buffer = buffer.subarray(4 + length);
      handle(plist.parse(body));
    }
  };
  socket.removeAllListeners('data');
  socket.on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    drain();
  });
  drain();
}

function serveClient(socket) {
  let buffer = Buffer.alloc(0);
  let tunnelled = false;
  socket.on('error', () => {});
  socket.on('close', () => listeners.delete(socket));
  socket.on('data', (chunk) => {
    buffer = Buffer.concat([buffer, chunk]);
    while (!tunnelled && buffer.length >= 16) {
      const length = buffer.readUInt32LE(0);
      if (buffer.length < length) return;
      const tag = buffer.readUInt32LE(12);
      const message = plist.parse(buffer.subarray(16, length).toString('utf8'));
      buffer = buffer.subarray(length);
      console.log(`usbmuxd ${message.MessageType}`);
      switch (message.MessageType) {
        case 'ListDevices':
          socket.write(frame({ DeviceList: [...phones.values()].map(attachedMessage) }, tag));
          break;
        case 'Listen':
          socket.write(frame(result(0), tag));
          listeners.add(socket);
          // As usbmuxd does, a new listener hears of every phone attached already.
          for (const device of phones.values()) socket.write(frame(attachedMessage(device), 0));
          break;
        case 'ReadPairRecord': {
          const device = [...phones.values()].find((phone) => phone.udid === message.PairRecordID);
          socket.write(frame(device ? { PairRecordData: pairRecord(device) } : result(2), tag));
          break;
        }
        case 'ReadBUID':
          socket.write(frame({ BUID: 'STANDIN-BUID' }, tag));
          break;
        case 'Connect': {
          const device = [...phones.values()].find((phone) => phone.deviceID === message.DeviceID);
          // The port travels in network byte order inside the integer.
          const port = ((message.PortNumber & 0xff) << 8) | ((message.PortNumber >> 8) & 0xff);
          if (!device || port !== kLockdownPort) {
            socket.write(frame(result(3), tag));
            break;
          }
          socket.write(frame(result(0), tag));
          tunnelled = true;
          serveLockdown(socket, device, buffer);
          return;
        }
        default:
          socket.write(frame(result(1), tag));
      }
    }
  });
}

for (const phone of JSON.parse(process.argv[3] || '[]')) attach(phone);

try { fs.unlinkSync(socketPath); } catch {}
const server = net.createServer(serveClient);
server.listen(socketPath, () => console.log('ready'));

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const space = line.indexOf(' ');
  const command = space < 0 ? line : line.slice(0, space);
  const argument = space < 0 ? '' : line.slice(space + 1);
  if (command === 'attach') {
    const device = attach(JSON.parse(argument));
    for (const listener of listeners) listener.write(frame(attachedMessage(device), 0));
  } else if (command === 'detach') {
    const device = phones.get(argument);
    if (!device) return;
    phones.delete(argument);
    for (const listener of listeners) listener.write(frame({ DeviceID: device.deviceID, MessageType: 'Detached' }, 0));
  }
}).on('close', () => {
  server.close();
  for (const listener of listeners) listener.destroy();
  process.exit(0);
});
