#!/usr/bin/env node
// Parses a file of MAVLink frames with node-mavlink, an implementation independent of ours, and
// prints one JSON object per frame: header values and every field by its MAVLink name.
//
//   node tools/node/decode-frames.js FILE
//
// 64-bit integers are printed as decimal strings, char arrays as strings (up to the first NUL).
// Frames with a bad checksum or an unknown message id are skipped, as node-mavlink does.
'use strict';

const fs = require('fs');
const { Readable } = require('stream');
const {
  MavLinkPacketSplitter, MavLinkPacketParser, MavLinkProtocolV1, minimal, standard, common,
} = require('node-mavlink');

const REGISTRY = { ...minimal.REGISTRY, ...standard.REGISTRY, ...common.REGISTRY };

function plain(value) {
  if (typeof value === 'bigint') return value.toString();
  if (Array.isArray(value)) return value.map(plain);
  return value;
}

function record(packet) {
  const clazz = REGISTRY[packet.header.msgid];
  const data = packet.protocol.data(packet.payload, clazz);
  const fields = {};
  for (const f of clazz.FIELDS) fields[f.source] = plain(data[f.name]);
  return {
    msgid: packet.header.msgid,
    name: clazz.MSG_NAME,
    version: packet.protocol instanceof MavLinkProtocolV1 ? 1 : 2,
    signed: packet.signature !== null,
    sysid: packet.header.sysid,
    compid: packet.header.compid,
    seq: packet.header.seq,
    hex: packet.buffer.toString('hex'),
    fields,
  };
}

// Resolves to the records of every frame of `bytes` whose message node-mavlink knows.
function decodeFrames(bytes) {
  return new Promise((resolve, reject) => {
    const records = [];
    Readable.from([bytes])
      .pipe(new MavLinkPacketSplitter())
      .pipe(new MavLinkPacketParser())
      .on('data', (packet) => {
        if (REGISTRY[packet.header.msgid]) records.push(record(packet));
      })
      .on('error', reject)
      .on('end', () => resolve(records));
  });
}

module.exports = { decodeFrames, REGISTRY };

if (require.main === module) {
  if (process.argv.length !== 3) {
    console.error('usage: decode-frames.js FILE');
    process.exit(2);
  }
  decodeFrames(fs.readFileSync(process.argv[2]))
    .then((records) => process.stdout.write(`${JSON.stringify(records, null, 1)}\n`))
    .catch((e) => {
      console.error(`decode-frames: ${e.message}`);
      process.exit(1);
    });
}
