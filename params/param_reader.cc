#include "params/param_reader.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "support/utc.h"

namespace orvel::params {

namespace {

// PARAM_REQUEST_READ carries the index as int16: higher indices cannot be asked for by index.
constexpr uint32_t MAX_READABLE_INDEX = 32767;

bool is_int_type(uint8_t param_type) {
  return std::find(INT_TYPES.begin(), INT_TYPES.end(), param_type) != INT_TYPES.end();
}

std::string_view family_of(uint8_t autopilot) {
  for (const AutopilotFamily& f : AUTOPILOTS) {
    if (f.autopilot == autopilot) return f.name;
  }
  return "generic";
}

// Room for any double in fixed notation: up to 309 integer digits, sign, point and 6 decimals.
constexpr std::size_t kFixedBuffer = 330;

// Round half to even on the exact binary value, as python's round(x, 6): the fixed-notation
// printer is exact, and reading its text back gives the nearest double.
double round_to_micro(double x) {
  char buf[kFixedBuffer];
  const auto printed = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 6);
  double out = x;
  std::from_chars(buf, printed.ptr, out);
  return out;
}

// The exact decimal text of a whole double.
std::string whole_digits(double x) {
  char buf[kFixedBuffer];
  const auto printed = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 0);
  return std::string(buf, printed.ptr);
}

bool integer_equals_real(const Json& integer, double real) {
  if (!std::isfinite(real) || std::trunc(real) != real) return false;
  const bool fits_int64 = real >= -0x1p63 && real < 0x1p63;
  if (integer.is_int()) return fits_int64 && static_cast<int64_t>(real) == integer.as_int();
  return !fits_int64 && whole_digits(real) == integer.integer_text();
}

// Numbers compare by value (1 equals 1.0); null equals only null.
bool same_value(const Json& a, const Json& b) {
  if (a.is_null() || b.is_null()) return a.is_null() && b.is_null();
  if (a.is_real() && b.is_real()) return a.as_double() == b.as_double();
  if (a.is_integer() && b.is_integer()) {
    if (a.is_int() && b.is_int()) return a.as_int() == b.as_int();
    return a.integer_text() == b.integer_text();
  }
  return a.is_integer() ? integer_equals_real(a, b.as_double())
                        : integer_equals_real(b, a.as_double());
}

}  // namespace

Json decode_value(float value, uint8_t param_type, std::string_view autopilot) {
  if (!is_int_type(param_type)) {
    if (!std::isfinite(value)) return Json();
    return Json(round_to_micro(value));
  }
  if (autopilot == "px4") return Json(std::bit_cast<int32_t>(value));
  if (!std::isfinite(value)) return Json();
  const double whole = std::trunc(static_cast<double>(value));
  if (whole >= -0x1p63 && whole < 0x1p63) return Json(static_cast<int64_t>(whole));
  return Json::integer(whole_digits(whole));
}

std::string param_name(std::string_view raw) {
  std::string name;
  name.reserve(raw.size());
  for (const char c : raw) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte == 0) break;
    if (byte < 0x80) name.push_back(c);
  }
  // python's str.strip(): besides the usual white space, 0x1C to 0x1F count as separators.
  const auto is_space = [](char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= '\x1c' && c <= '\x1f');
  };
  const auto first = std::find_if_not(name.begin(), name.end(), is_space);
  const auto last = std::find_if_not(name.rbegin(), name.rend(), is_space).base();
  return first < last ? std::string(first, last) : std::string();
}

std::string firmware_from_version(uint32_t sw) {
  return std::to_string((sw >> 24) & 0xFF) + "." + std::to_string((sw >> 16) & 0xFF) + "." +
         std::to_string((sw >> 8) & 0xFF);
}

std::string encode_snapshot(const Json& snapshot) {
  const std::string text = compact_json(snapshot);
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  const int rc =
      compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                reinterpret_cast<const Bytef*>(text.data()), static_cast<uLong>(text.size()), 6);
  if (rc != Z_OK) throw std::runtime_error("zlib could not compress a parameter snapshot");
  out.resize(size);
  return out;
}

std::optional<Json> decode_snapshot(std::string_view bytes, std::size_t max_bytes) {
  if (bytes.size() > UINT_MAX) return std::nullopt;
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in = static_cast<uInt>(bytes.size());
  std::string text;
  char chunk[16384];
  int rc = Z_OK;
  // Inflated piece by piece, so a stream that claims to be huge is stopped at the limit.
  while (rc == Z_OK && text.size() <= max_bytes) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    text.append(chunk, sizeof chunk - z.avail_out);
  }
  const bool whole = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  if (!whole || text.size() > max_bytes) return std::nullopt;
  return parse_json(text);
}

ParamReader::ParamReader(mavlink::Sender& mav, std::function<bool(std::string_view bytes)> publish,
                         double interval_s, const Clock& clock, LogSink* log_sink)
    : mav_(mav),
      publish_(std::move(publish)),
      interval_s_(interval_s),
      clock_(clock),
      log_("params", log_sink) {}

bool ParamReader::from_target(const mavlink::Message& msg) const {
  // The component matters as well as the system: when a ground station asks every component
  // for its parameters, a camera or gimbal of the same system answers with its own names,
  // count and indices, which must not mix with the autopilot's.
  return target_ && msg.sysid == target_->sysid && msg.compid == target_->compid;
}

void ParamReader::on_heartbeat(const mavlink::Message& msg) {
  const auto hb = msg.as<mavlink::Heartbeat>();
  if (!hb) return;
  if (!target_) {
    target_ = Target{msg.sysid, msg.compid};
    autopilot_ = family_of(hb->autopilot);
  }
  if (!version_requested_) {
    version_requested_ = true;
    mav_.send(mavlink::CommandLong{
        .target_system = target_->sysid,
        .target_component = target_->compid,
        .command = mavlink::MAV_CMD_REQUEST_MESSAGE,
        .confirmation = 0,
        .param1 = static_cast<float>(mavlink::AutopilotVersion::ID),
    });
  }
}

void ParamReader::on_autopilot_version(const mavlink::Message& msg) {
  // Only the autopilot we asked: another system's version must not be published under ours.
  if (!from_target(msg)) return;
  const auto version = msg.as<mavlink::AutopilotVersion>();
  if (!version) return;
  firmware_ = firmware_from_version(version->flight_sw_version);
}

void ParamReader::on_param_value(const mavlink::Message& msg, std::optional<double> now) {
  if (!from_target(msg)) return;
  const auto pv = msg.as<mavlink::ParamValue>();
  if (!pv) return;
  const double at = now ? *now : clock_.monotonic();

  std::string name = param_name(std::string_view(pv->param_id.data(), pv->param_id.size()));
  Json value = decode_value(pv->param_value, pv->param_type, autopilot_);

  // A count of 0 comes with a parameter, so it cannot be true; taken as it is it would end a
  // full read as complete at once.
  if (pv->param_count > 0) {
    count_ = pv->param_count;
    // Indices at or above the count are not part of the set: dropping them, also when the
    // count shrinks, keeps `values` within the count and "complete" honest.
    values_.erase(values_.lower_bound(static_cast<uint16_t>(std::min(*count_, INDEX_LIMIT))),
                  values_.end());
  }
  if (pv->param_index < INDEX_LIMIT && pv->param_index < pv->param_count) {
    values_[pv->param_index] = {name, value};
  }

  bool changed = false;
  if (Json* stored = by_name_.find(name)) {
    changed = !same_value(*stored, value);
    *stored = std::move(value);
  } else if (by_name_.size() < MAX_NAMES) {
    by_name_.set(name, std::move(value));
    changed = true;
  }
  last_value_at_ = at;
  if (!reading_ && changed && published_ > 0) dirty_at_ = at;
}

void ParamReader::request_all(double now) {
  values_.clear();
  count_.reset();
  reading_ = true;
  retry_rounds_ = 0;
  requested_at_ = last_value_at_ = now;
  if (target_) {
    mav_.send(mavlink::ParamRequestList{.target_system = target_->sysid,
                                        .target_component = target_->compid});
  }
}

void ParamReader::tick(std::optional<double> now_or_clock) {
  if (!target_) return;
  const double now = now_or_clock ? *now_or_clock : clock_.monotonic();

  if (!reading_ && (requested_at_ == 0.0 || now - requested_at_ >= interval_s_)) {
    request_all(now);
    return;
  }
  if (reading_) {
    if (count_ && values_.size() >= *count_) {
      finish(true);
    } else if (now - std::max(requested_at_, last_value_at_) >= QUIET_SECONDS) {
      std::vector<uint16_t> missing;
      if (count_ && retry_rounds_ < MAX_RETRY_ROUNDS) {
        const uint32_t end = std::min(*count_, MAX_READABLE_INDEX + 1);
        auto have = values_.begin();
        for (uint32_t i = 0; i < end && missing.size() < REREAD_BATCH; ++i) {
          while (have != values_.end() && have->first < i) ++have;
          if (have == values_.end() || have->first != i)
            missing.push_back(static_cast<uint16_t>(i));
        }
      }
      if (!missing.empty()) {
        ++retry_rounds_;
        log_.info("Re-reading %zu missing parameters (round %d)", missing.size(), retry_rounds_);
        for (const uint16_t index : missing) {
          mav_.send(mavlink::ParamRequestRead{.target_system = target_->sysid,
                                              .target_component = target_->compid,
                                              .param_index = static_cast<int16_t>(index)});
        }
        last_value_at_ = now;
      } else if (!values_.empty()) {
        finish(false);
      } else {
        reading_ = false;
      }
    }
    return;
  }
  if (dirty_at_ && now - *dirty_at_ >= CHANGE_DEBOUNCE_SECONDS) {
    dirty_at_.reset();
    publish_snapshot(snapshot(true));
  }
}

void ParamReader::finish(bool complete) {
  reading_ = false;
  const Json s = snapshot(complete);
  publish_snapshot(s);
  log_.info("Published %zu parameters (%s, complete=%s)", s.at("params").size(), autopilot_.c_str(),
            complete ? "True" : "False");
}

void ParamReader::publish_snapshot(const Json& snapshot) {
  publish_(encode_snapshot(snapshot));
  ++published_;
}

Json ParamReader::snapshot(bool complete) const {
  JsonObject params = by_name_;
  params.erase("");
  JsonObject s;
  s.set("v", 1);
  s.set("type", "params");
  s.set("sysid", target_ ? Json(static_cast<int>(target_->sysid)) : Json());
  s.set("autopilot", autopilot_);
  s.set("firmware", firmware_);
  s.set("captured_at", utc_text(clock_.wall()));
  s.set("complete", complete);
  s.set("params", std::move(params));
  return s;
}

}  // namespace orvel::params
