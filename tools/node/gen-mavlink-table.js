#!/usr/bin/env node
// Generates the C++ side of the MAVLink "common" dialect from the published definitions in the
// npm package mavlink-mappings (pinned in package.json):
//
//   mavlink/common_table.cc  every message: id, name, CRC_EXTRA, payload lengths
//   mavlink/messages.h       typed structs for the messages the agent uses, and enum constants
//
// Both files are committed; run this only to regenerate them (after `npm ci` here):
//
//   node tools/node/gen-mavlink-table.js
//
// Before writing anything it checks every message of the dialect twice: the CRC_EXTRA it
// computes from the field list must equal the published one, and the wire offsets it computes
// (fields sorted by type size, extensions last) must equal the published offsets.
'use strict';

const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');
const mappings = require('mavlink-mappings');

const ROOT = path.resolve(__dirname, '..', '..');
const MAPPINGS_VERSION = require('mavlink-mappings/package.json').version;

// The "common" dialect is common.xml with what it includes: standard.xml and minimal.xml.
const DIALECT = [mappings.minimal, mappings.standard, mappings.common];

// Messages that get a typed struct in messages.h: struct name -> MAVLink name.
const TYPED = {
  Heartbeat: 'HEARTBEAT',
  SysStatus: 'SYS_STATUS',
  GpsRawInt: 'GPS_RAW_INT',
  GlobalPositionInt: 'GLOBAL_POSITION_INT',
  ExtendedSysState: 'EXTENDED_SYS_STATE',
  HomePosition: 'HOME_POSITION',
  Statustext: 'STATUSTEXT',
  AutopilotVersion: 'AUTOPILOT_VERSION',
  ParamValue: 'PARAM_VALUE',
  ParamSet: 'PARAM_SET',
  ParamRequestList: 'PARAM_REQUEST_LIST',
  ParamRequestRead: 'PARAM_REQUEST_READ',
  CommandLong: 'COMMAND_LONG',
  CommandInt: 'COMMAND_INT',
  CommandAck: 'COMMAND_ACK',
  SetPositionTargetLocalNed: 'SET_POSITION_TARGET_LOCAL_NED',
  LogRequestList: 'LOG_REQUEST_LIST',
  LogEntry: 'LOG_ENTRY',
  LogRequestData: 'LOG_REQUEST_DATA',
  LogData: 'LOG_DATA',
  LogRequestEnd: 'LOG_REQUEST_END',
};

// Enums written to messages.h: MAVLink name -> which entries (null: all of them).
const ENUMS = {
  MAV_TYPE: null,
  MAV_AUTOPILOT: null,
  MAV_MODE_FLAG: null,
  MAV_STATE: null,
  MAV_COMPONENT: ['MAV_COMP_ID_ALL', 'MAV_COMP_ID_AUTOPILOT1', 'MAV_COMP_ID_CAMERA',
                  'MAV_COMP_ID_GIMBAL', 'MAV_COMP_ID_MISSIONPLANNER',
                  'MAV_COMP_ID_ONBOARD_COMPUTER'],
  MAV_CMD: ['MAV_CMD_NAV_WAYPOINT', 'MAV_CMD_NAV_LOITER_UNLIM', 'MAV_CMD_NAV_RETURN_TO_LAUNCH',
            'MAV_CMD_NAV_LAND', 'MAV_CMD_NAV_TAKEOFF', 'MAV_CMD_DO_SET_MODE',
            'MAV_CMD_DO_CHANGE_SPEED', 'MAV_CMD_DO_REPOSITION', 'MAV_CMD_MISSION_START',
            'MAV_CMD_COMPONENT_ARM_DISARM', 'MAV_CMD_SET_MESSAGE_INTERVAL',
            'MAV_CMD_REQUEST_MESSAGE'],
  MAV_RESULT: null,
  MAV_PARAM_TYPE: null,
  MAV_FRAME: null,
  MAV_LANDED_STATE: null,
  GPS_FIX_TYPE: null,
  MAV_SEVERITY: null,
  MAV_DO_REPOSITION_FLAGS: null,
};
// mavlink-mappings names an enum in CamelCase and drops the common prefix of its entries.
const ENTRY_PREFIX = { MAV_COMPONENT: 'MAV_COMP_ID_' };

const C_TYPES = {
  char: 'char', int8_t: 'int8_t', uint8_t: 'uint8_t', uint8_t_mavlink_version: 'uint8_t',
  int16_t: 'int16_t', uint16_t: 'uint16_t', int32_t: 'int32_t', uint32_t: 'uint32_t',
  int64_t: 'int64_t', uint64_t: 'uint64_t', float: 'float', double: 'double',
};

function fail(message) {
  console.error(`gen-mavlink-table: ${message}`);
  process.exit(1);
}

function x25(bytes, crc = 0xffff) {
  for (const b of bytes) {
    let tmp = (b ^ crc) & 0xff;
    tmp = (tmp ^ (tmp << 4)) & 0xff;
    crc = ((crc >> 8) ^ (tmp << 8) ^ (tmp << 3) ^ (tmp >> 4)) & 0xffff;
  }
  return crc;
}

// One message with its fields in definition order (the order of the XML file).
function describe(clazz) {
  const byName = new Map(clazz.FIELDS.map((f) => [f.name, f]));
  const order = Object.keys(new clazz()).filter((k) => byName.has(k));
  if (order.length !== clazz.FIELDS.length) fail(`${clazz.MSG_NAME}: cannot order its fields`);
  const fields = order.map((k) => {
    const f = byName.get(k);
    const base = f.type.replace(/\[\]$/, '');
    if (!(base in C_TYPES)) fail(`${clazz.MSG_NAME}.${f.source}: unknown type ${f.type}`);
    return {
      name: f.source, base, ctype: C_TYPES[base], size: f.size, count: f.length || 0,
      offset: f.offset, extension: f.extension, units: f.units,
    };
  });
  return { id: clazz.MSG_ID, name: clazz.MSG_NAME, crcExtra: clazz.MAGIC_NUMBER,
           maxLength: clazz.PAYLOAD_LENGTH, fields };
}

// The MAVLink serialisation rules, applied to the definition order: base fields sorted by type
// size (stable), extensions afterwards in definition order. Checked against the published
// offsets and CRC_EXTRA so that a wrongly ordered definition cannot slip through.
function check(msg) {
  const base = msg.fields.filter((f) => !f.extension);
  const wire = [...base].sort((a, b) => b.size - a.size)
    .concat(msg.fields.filter((f) => f.extension));
  let offset = 0;
  for (const f of wire) {
    if (f.offset !== offset) fail(`${msg.name}.${f.name}: offset ${f.offset}, expected ${offset}`);
    offset += f.size * Math.max(f.count, 1);
  }
  if (offset !== msg.maxLength) fail(`${msg.name}: length ${msg.maxLength}, expected ${offset}`);
  msg.minLength = base.reduce((n, f) => n + f.size * Math.max(f.count, 1), 0);

  let crc = x25(Buffer.from(`${msg.name} `));
  for (const f of wire.filter((w) => !w.extension)) {
    crc = x25(Buffer.from(`${f.ctype} ${f.name} `), crc);
    if (f.count) crc = x25([f.count], crc);
  }
  const extra = (crc & 0xff) ^ (crc >> 8);
  if (extra !== msg.crcExtra) fail(`${msg.name}: CRC_EXTRA ${msg.crcExtra}, computed ${extra}`);
  msg.wire = wire;
}

function loadMessages() {
  const byId = new Map();
  for (const part of DIALECT) {
    for (const clazz of Object.values(part.REGISTRY)) {
      if (byId.has(clazz.MSG_ID)) fail(`message id ${clazz.MSG_ID} defined twice`);
      const msg = describe(clazz);
      check(msg);
      byId.set(msg.id, msg);
    }
  }
  return [...byId.values()].sort((a, b) => a.id - b.id);
}

// Enum entries with their MAVLink names, e.g. MavType.GCS -> MAV_TYPE_GCS.
function loadEnum(name) {
  const camel = name.toLowerCase().replace(/(^|_)([a-z])/g, (_, __, c) => c.toUpperCase());
  const values = DIALECT.map((part) => part[camel]).find((e) => e !== undefined);
  if (!values) fail(`enum ${name} not found (looked for ${camel})`);
  const prefix = ENTRY_PREFIX[name] || `${name}_`;
  return Object.entries(values)
    .filter(([key]) => Number.isNaN(Number(key)))
    .map(([key, value]) => ({ name: key.startsWith(prefix) ? key : prefix + key, value }));
}

const BANNER = (what) =>
  `// ${what}\n` +
  `// Generated by tools/node/gen-mavlink-table.js from mavlink-mappings ${MAPPINGS_VERSION}.\n` +
  '// Do not edit: change the script and run it again.\n';

function tableSource(messages) {
  const rows = messages.map((m) =>
    `    {${m.id}, "${m.name}", ${m.crcExtra}, ${m.minLength}, ${m.maxLength}},`);
  return `${BANNER('The MAVLink "common" dialect (common.xml with standard.xml and minimal.xml).')}
#include "mavlink/message.h"

namespace orvel::mavlink {
namespace {

// Sorted by id.
constexpr MessageInfo kMessages[] = {
${rows.join('\n')}
};

}  // namespace

std::span<const MessageInfo> dialect_messages() { return kMessages; }

}  // namespace orvel::mavlink
`;
}

function memberType(f) {
  return f.count ? `std::array<${f.ctype}, ${f.count}>` : f.ctype;
}

function structSource(structName, m) {
  const member = (f) => {
    // HEARTBEAT.mavlink_version is filled in by the sender with the protocol version (3).
    const init = f.base === 'uint8_t_mavlink_version' ? ' = 3' : f.count ? '{}' : ' = 0';
    const note = f.units ? `  // ${f.units}` : '';
    return `  ${memberType(f)} ${f.name}${init};${note}`;
  };
  const base = m.fields.filter((f) => !f.extension).map(member);
  const ext = m.fields.filter((f) => f.extension).map(member);
  const put = m.wire.map((f) => `    wire::put<${f.offset}>(buf, ${f.name});`);
  const get = m.wire.map((f) => `    p.get<${f.offset}>(msg.${f.name});`);
  const visit = m.fields.map((f) => `    f("${f.name}", self.${f.name});`);
  return `struct ${structName} {
  static constexpr uint32_t ID = ${m.id};
  static constexpr std::string_view NAME = "${m.name}";
  static constexpr uint8_t CRC_EXTRA = ${m.crcExtra};
  static constexpr size_t MIN_LENGTH = ${m.minLength};
  static constexpr size_t MAX_LENGTH = ${m.maxLength};

${base.join('\n')}${ext.length ? `\n  // Extension fields (MAVLink 2 only).\n${ext.join('\n')}` : ''}

  // Writes the whole payload (MAX_LENGTH bytes) and returns its length.
  size_t encode(uint8_t* buf) const {
${put.join('\n')}
    return MAX_LENGTH;
  }
  // Zero-extends a short payload; ignores bytes beyond MAX_LENGTH.
  static ${structName} decode(std::span<const uint8_t> payload) {
    const wire::Padded<MAX_LENGTH> p(payload);
    ${structName} msg;
${get.join('\n')}
    return msg;
  }
  // Calls f(name, field) for every field, in definition order.
  template <class F>
  void for_each_field(F&& f) {
    fields(*this, f);
  }
  template <class F>
  void for_each_field(F&& f) const {
    fields(*this, f);
  }
  template <class Self, class F>
  static void fields(Self& self, F& f) {
${visit.join('\n')}
  }
};
`;
}

function enumSource(name, wanted) {
  let entries = loadEnum(name);
  if (wanted) {
    const missing = wanted.filter((w) => !entries.some((e) => e.name === w));
    if (missing.length) fail(`enum ${name} has no ${missing.join(', ')}`);
    entries = entries.filter((e) => wanted.includes(e.name));
  }
  const max = Math.max(...entries.map((e) => e.value));
  const type = max <= 0xff ? 'uint8_t' : max <= 0xffff ? 'uint16_t' : 'uint32_t';
  const lines = entries.map((e) => `inline constexpr ${type} ${e.name} = ${e.value};`);
  return `// ${name}${wanted ? ' (the entries the agent uses)' : ''}\n${lines.join('\n')}\n`;
}

function messagesHeader(messages) {
  const byName = new Map(messages.map((m) => [m.name, m]));
  const structs = Object.entries(TYPED).map(([structName, name]) => {
    const m = byName.get(name);
    if (!m) fail(`no message ${name} in the dialect`);
    return structSource(structName, m);
  });
  const enums = Object.entries(ENUMS).map(([name, wanted]) => enumSource(name, wanted));
  const all = Object.keys(TYPED).join(', ');
  return `#pragma once
${BANNER('Typed messages and enum values of the MAVLink "common" dialect.')}//
// Each struct holds its fields under their MAVLink names, in definition order (so designated
// initialisers read like the message's documentation), and encodes them in wire order.
// Character arrays are std::array<char, N>: not NUL-terminated when full; read them with
// text() and fill them with set_text() (wire.h).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>

#include "mavlink/wire.h"

namespace orvel::mavlink {

${structs.join('\n')}
// Every typed message, e.g. to find the struct for a message id.
using TypedMessages = std::tuple<${all}>;

${enums.join('\n')}
}  // namespace orvel::mavlink
`;
}

function write(relative, text) {
  const file = path.join(ROOT, relative);
  fs.writeFileSync(file, text);
  // The repository's .clang-format applies; `make format-check` expects formatted files.
  execFileSync('clang-format', ['-i', '--style=file', file]);
  console.log(`wrote ${relative}`);
}

const messages = loadMessages();
write('mavlink/common_table.cc', tableSource(messages));
write('mavlink/messages.h', messagesHeader(messages));
console.log(`${messages.length} messages, ${Object.keys(TYPED).length} typed`);
