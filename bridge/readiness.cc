#include "bridge/readiness.h"

#include <exception>
#include <utility>

#include "bridge/vehicle_types.h"
#include "commands/executor.h"
#include "commands/rejected.h"
#include "mavlink/messages.h"

namespace orvel::bridge {

namespace m = orvel::mavlink;

namespace {

// The text form of a request id for refusals (see the header).
std::string id_text(const Json* id) {
  return id == nullptr || is_falsy(*id) ? "" : text_form(*id);
}

const char* fix_name(std::uint8_t fix_type) {
  switch (fix_type) {
    case m::GPS_FIX_TYPE_NO_GPS:
      return "no GPS";
    case m::GPS_FIX_TYPE_NO_FIX:
      return "no fix";
    case m::GPS_FIX_TYPE_2D_FIX:
      return "2D fix";
    case m::GPS_FIX_TYPE_3D_FIX:
      return "3D fix";
    case m::GPS_FIX_TYPE_DGPS:
      return "DGPS fix";
    case m::GPS_FIX_TYPE_RTK_FLOAT:
      return "RTK float fix";
    case m::GPS_FIX_TYPE_RTK_FIXED:
      return "RTK fixed fix";
    case m::GPS_FIX_TYPE_STATIC:
      return "static fix";
    case m::GPS_FIX_TYPE_PPP:
      return "PPP fix";
    default:
      return nullptr;
  }
}

Json check(std::string_view name, bool ok, std::string detail) {
  return Json::object({{"name", name}, {"ok", ok}, {"detail", std::move(detail)}});
}

}  // namespace

Readiness::Readiness(mavlink::Sender& /*mav*/, Answer answer, commands::Verifier& verifier,
                     std::string device_id, bool allow_checks,
                     std::function<std::set<std::string>()> own_keys, const Clock& clock,
                     LogSink* log_sink)
    : answer_(std::move(answer)),
      verifier_(&verifier),
      device_id_(std::move(device_id)),
      allow_checks_(allow_checks),
      own_keys_(std::move(own_keys)),
      clock_(&clock),
      log_("readiness", log_sink) {
  if (!own_keys_) {
    own_keys_ = [key = "edge_bridge:" + device_id_] { return std::set<std::string>{key}; };
  }
}

bool Readiness::handles(std::string_view envelope) {
  try {
    const std::optional<Json> parsed = parse_json(envelope);
    if (!parsed) return false;
    const Json* body = parsed->find("body");
    if (body == nullptr || !body->is_object()) return false;
    const Json* kind = body->find("kind");
    return kind != nullptr && kind->is_string() && kind->as_string().starts_with(CHECKS_PREFIX);
  } catch (const std::exception&) {
    return false;  // out of memory on a huge payload: not ours to take
  }
}

void Readiness::on_envelope(std::string_view envelope) {
  std::string refusal_id;
  try {
    const std::optional<Json> parsed = parse_json(envelope);
    // The core hands over only what handles() claimed; anything else is not answerable.
    if (!parsed || !parsed->is_object()) return;
    const Json* body = parsed->find("body");
    if (body == nullptr || !body->is_object()) return;
    refusal_id = id_text(body->find("id"));
    _handle(*parsed, refusal_id);
  } catch (const std::exception& e) {
    log_.error("Checks %s dropped: %s", commands::id_for_log(Json(refusal_id)).c_str(), e.what());
  }
}

void Readiness::_handle(const Json& envelope, const std::string& refusal_id) {
  Json reply;
  try {
    const Json body = verifier_->verify(envelope, own_keys_(), std::nullopt, CHECK_KINDS);
    if (!allow_checks_) {
      throw commands::Rejected("checks_off", "Readiness checks are off on this drone.");
    }
    const Json* id = body.find("id");
    reply = _reply(id != nullptr ? *id : Json(""), "report");
    const Json checks = _checks();
    reply["ready"] = checks.at("ready");
    reply["checks"] = checks.at("checks");
    if (checks.at("ready").as_bool()) {
      log_.info("Checks %s: ready", commands::id_for_log(Json(refusal_id)).c_str());
    } else {
      std::string failing;
      for (const Json& c : checks.at("checks").as_array()) {
        if (c.at("ok").as_bool()) continue;
        if (!failing.empty()) failing += ", ";
        failing += c.at("name").as_string();
      }
      log_.info("Checks %s: not ready (%s)", commands::id_for_log(Json(refusal_id)).c_str(),
                failing.c_str());
    }
  } catch (const commands::Rejected& r) {
    log_.warning("Checks %s refused: %s", commands::id_for_log(Json(refusal_id)).c_str(), r.what());
    reply = _reply(refusal_id, "failed");
    reply["code"] = r.code();
    reply["detail"] = r.detail();
  }
  answer_(reply);
}

Json Readiness::_reply(const Json& id, std::string_view stage) const {
  return Json::object({{"v", 1},
                       {"type", "checks"},
                       {"id", id},
                       {"sysid", sysid_ ? Json(static_cast<int>(*sysid_)) : Json()},
                       {"stage", stage}});
}

Json Readiness::_checks() const {
  Json checks = Json::array();

  if (!heartbeat_at_) {
    checks.push_back(check("link", false, "no HEARTBEAT from a vehicle yet"));
  } else {
    const double age = clock_->monotonic() - *heartbeat_at_;
    const bool ok = age <= LINK_TIMEOUT_S;
    checks.push_back(check("link", ok, strf("%sHEARTBEAT %.1f s ago", ok ? "" : "last ", age)));
  }

  if (!gps_) {
    checks.push_back(check("gps", false, "no GPS_RAW_INT yet"));
  } else {
    const char* fix = fix_name(gps_->fix_type);
    std::string detail = fix ? fix : strf("fix type %d", static_cast<int>(gps_->fix_type));
    detail += gps_->satellites == 255 ? std::string(", satellites unknown")
                                      : strf(", %d satellites", static_cast<int>(gps_->satellites));
    const bool ok = gps_->fix_type >= m::GPS_FIX_TYPE_3D_FIX && gps_->satellites != 255 &&
                    gps_->satellites >= MIN_SATELLITES;
    if (!ok) detail += strf(" (needs a 3D fix and %d satellites)", MIN_SATELLITES);
    checks.push_back(check("gps", ok, std::move(detail)));
  }

  if (!battery_percent_) {
    checks.push_back(check("battery", false, "no SYS_STATUS yet"));
  } else if (*battery_percent_ < 0) {
    checks.push_back(check("battery", false, "battery level unknown"));
  } else {
    const bool ok = *battery_percent_ >= MIN_BATTERY_PERCENT;
    std::string detail = strf("battery %d%%", *battery_percent_);
    if (!ok) detail += strf(" (needs %d%%)", MIN_BATTERY_PERCENT);
    checks.push_back(check("battery", ok, std::move(detail)));
  }

  checks.push_back(check("home", home_, home_ ? "home position set" : "no HOME_POSITION yet"));

  bool ready = true;
  for (const Json& c : checks.as_array()) ready = ready && c.at("ok").as_bool();
  return Json::object({{"ready", ready}, {"checks", std::move(checks)}});
}

void Readiness::tick(double /*now*/) {}

void Readiness::on_message(const mavlink::Message& msg) {
  if (msg.id == m::Heartbeat::ID) {
    const auto hb = msg.as<m::Heartbeat>();
    // Remote-ID modules, batteries and other peripherals also send HEARTBEAT, with no
    // autopilot: only a flight controller's heartbeat can make the vehicle.
    if (!hb || !is_vehicle_type(hb->type)) return;
    if (!sysid_ && hb->autopilot == m::MAV_AUTOPILOT_INVALID) return;
    if (!sysid_) {
      sysid_ = msg.sysid;
      compid_ = msg.compid;
    }
  }
  if (!sysid_ || msg.sysid != *sysid_ || msg.compid != compid_) return;

  if (msg.id == m::Heartbeat::ID) {
    heartbeat_at_ = clock_->monotonic();
  } else if (const auto gps = msg.as<m::GpsRawInt>()) {
    gps_ = Gps{gps->fix_type, gps->satellites_visible};
  } else if (const auto status = msg.as<m::SysStatus>()) {
    battery_percent_ = status->battery_remaining;
  } else if (msg.id == m::HomePosition::ID && !msg.bad()) {
    home_ = true;
  }
}

Json Readiness::hello() {
  return Json::object({{"checks", allow_checks_}});
}

}  // namespace orvel::bridge
