#!/usr/bin/env node
// Writes tests/mavlink/data/node-vectors.json: MAVLink frames made by node-mavlink, with the
// field values node-mavlink reads back from them. Our C++ parser and typed decoders must find
// the same values (tests/mavlink/node_crosscheck_test.cc). The values come from a seeded
// generator, so running this again gives the same file.
//
//   node tools/node/make-vectors.js
//
// node-mavlink writes MAVLink 1 frames with the full payload length, extension fields included,
// which is not MAVLink 1; MAVLink 1 vectors are therefore made only of messages without
// extension fields.
'use strict';

const fs = require('fs');
const path = require('path');
const { MavLinkProtocolV1, MavLinkProtocolV2, MavLinkPacketSignature } = require('node-mavlink');
const { decodeFrames, REGISTRY } = require('./decode-frames');

const OUT = path.resolve(__dirname, '..', '..', 'tests', 'mavlink', 'data', 'node-vectors.json');

// The messages the agent has typed structs for; each gets one frame of random values.
const TYPED = [
  'HEARTBEAT', 'SYS_STATUS', 'GPS_RAW_INT', 'GLOBAL_POSITION_INT', 'EXTENDED_SYS_STATE',
  'HOME_POSITION', 'STATUSTEXT', 'AUTOPILOT_VERSION', 'PARAM_VALUE', 'PARAM_SET',
  'PARAM_REQUEST_LIST', 'PARAM_REQUEST_READ', 'COMMAND_LONG', 'COMMAND_INT', 'COMMAND_ACK',
  'SET_POSITION_TARGET_LOCAL_NED', 'LOG_REQUEST_LIST', 'LOG_ENTRY', 'LOG_REQUEST_DATA', 'LOG_DATA',
  'LOG_REQUEST_END',
];

// mulberry32: small, seeded, good enough for test values.
let state = 0x5eed1234;
function random() {
  state = (state + 0x6d2b79f5) >>> 0;
  let t = state;
  t = Math.imul(t ^ (t >>> 15), t | 1);
  t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
  return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
}
const randomInt = (lo, hi) => lo + Math.floor(random() * (hi - lo + 1));
const CHARS = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz0123456789 .:';
const randomText = (n) => Array.from({ length: n }, () => CHARS[randomInt(0, CHARS.length - 1)])
  .join('');

function randomScalar(type) {
  switch (type) {
    case 'int8_t': return randomInt(-128, 127);
    case 'uint8_t': case 'uint8_t_mavlink_version': return randomInt(0, 255);
    case 'int16_t': return randomInt(-32768, 32767);
    case 'uint16_t': return randomInt(0, 65535);
    case 'int32_t': return randomInt(-2147483648, 2147483647);
    case 'uint32_t': return randomInt(0, 4294967295);
    case 'int64_t':
      return BigInt.asIntN(64, BigInt(randomInt(0, 4294967295)) << 32n | BigInt(randomInt(0, 4294967295)));
    case 'uint64_t':
      return BigInt(randomInt(0, 4294967295)) << 32n | BigInt(randomInt(0, 4294967295));
    case 'float': return Math.fround((random() - 0.5) * 20000);
    case 'double': return (random() - 0.5) * 2e6;
    default: throw new Error(`no random value for ${type}`);
  }
}

function randomValue(field) {
  if (field.type === 'char[]') return randomText(randomInt(0, field.length));
  if (field.type.endsWith('[]')) {
    return Array.from({ length: field.length }, () => randomScalar(field.type.slice(0, -2)));
  }
  return randomScalar(field.type);
}

const BY_NAME = Object.fromEntries(Object.values(REGISTRY).map((c) => [c.MSG_NAME, c]));

// A message instance: every field random, then `values` (by MAVLink field name) on top.
function message(name, values = {}, { allRandom = true } = {}) {
  const clazz = BY_NAME[name];
  const msg = new clazz();
  for (const f of clazz.FIELDS) {
    if (f.source in values) msg[f.name] = values[f.source];
    else if (allRandom) msg[f.name] = randomValue(f);
  }
  return msg;
}

const KEY = MavLinkPacketSignature.key('orvel-edge test key');
const SIGNATURE_TIME = Date.UTC(2024, 0, 2, 3, 4, 5);

function frame(msg, { version = 2, signed = false, sysid = 1, compid = 1, seq = 0 } = {}) {
  if (version === 1) return new MavLinkProtocolV1(sysid, compid).serialize(msg, seq);
  if (!signed) return new MavLinkProtocolV2(sysid, compid).serialize(msg, seq);
  const protocol = new MavLinkProtocolV2(sysid, compid, MavLinkProtocolV2.IFLAG_SIGNED);
  return protocol.sign(protocol.serialize(msg, seq), 7, KEY, SIGNATURE_TIME);
}

function cases() {
  const list = [];
  let seq = 0;
  const add = (description, msg, options = {}) => {
    list.push({ description, bytes: frame(msg, { seq: seq++ & 255, ...options }) });
  };

  for (const name of TYPED) add(`${name}, random values`, message(name), { sysid: 1 + (seq % 250) });

  add('HEARTBEAT in MAVLink 1', message('HEARTBEAT'), { version: 1 });
  add('GLOBAL_POSITION_INT in MAVLink 1', message('GLOBAL_POSITION_INT'), { version: 1 });
  add('COMMAND_LONG in MAVLink 1', message('COMMAND_LONG'), { version: 1, compid: 191 });
  add('PARAM_VALUE in MAVLink 1, 16-character name',
      message('PARAM_VALUE', { param_id: 'ABCDEFGHIJKLMNOP' }), { version: 1 });

  add('PARAM_VALUE, 16-character name without NUL',
      message('PARAM_VALUE', { param_id: 'MPC_XY_VEL_MAX_X', param_type: 9 }));
  add('PARAM_VALUE, 12-character name and four NUL bytes',
      message('PARAM_VALUE', { param_id: 'COM_RC_LOSS_', param_type: 6 }));
  add('STATUSTEXT, short text: payload truncated',
      message('STATUSTEXT', { severity: 6, text: 'Takeoff detected', id: 0, chunk_seq: 0 }));
  add('STATUSTEXT, 50 characters and extension fields',
      message('STATUSTEXT', { text: randomText(50), id: 513, chunk_seq: 2 }));
  add('SYS_STATUS, zero extension fields: payload truncated',
      message('SYS_STATUS', {
        onboard_control_sensors_present_extended: 0,
        onboard_control_sensors_enabled_extended: 0,
        onboard_control_sensors_health_extended: 0,
      }));
  add('AUTOPILOT_VERSION, zero uid2 and os_custom_version: payload truncated',
      message('AUTOPILOT_VERSION', {
        uid2: new Array(18).fill(0), os_custom_version: new Array(8).fill(0),
        flight_sw_version: 0x010e0300,
      }));
  add('GLOBAL_POSITION_INT, trailing fields zero: payload truncated',
      message('GLOBAL_POSITION_INT', { vx: 0, vy: 0, vz: 0, hdg: 0 }));
  add('PARAM_REQUEST_LIST, all zero: empty payload',
      message('PARAM_REQUEST_LIST', {}, { allRandom: false }));
  add('COMMAND_ACK, first byte only', message('COMMAND_ACK', { command: 400 }, { allRandom: false }));
  add('HEARTBEAT, signed', message('HEARTBEAT'), { signed: true, sysid: 42, compid: 1 });
  add('COMMAND_LONG, signed', message('COMMAND_LONG'), { signed: true, sysid: 245, compid: 191 });
  return list;
}

async function main() {
  const list = cases();
  const records = await decodeFrames(Buffer.concat(list.map((c) => c.bytes)));
  if (records.length !== list.length) {
    throw new Error(`node-mavlink read back ${records.length} of ${list.length} frames`);
  }
  const vectors = records.map((r, i) => ({ description: list[i].description, ...r }));
  const { version } = require('node-mavlink/package.json');
  const doc = { made_by: `tools/node/make-vectors.js with node-mavlink ${version}`, vectors };
  fs.writeFileSync(OUT, `${JSON.stringify(doc, null, 1)}\n`);
  console.log(`wrote ${path.relative(process.cwd(), OUT)}: ${vectors.length} frames`);
}

main().catch((e) => {
  console.error(`make-vectors: ${e.message}`);
  process.exit(1);
});
