#include "commands/plans.h"

#include <algorithm>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <system_error>

#include "mavlink/messages.h"

namespace orvel::commands {

namespace {

// In a MAVLink parameter: let the autopilot use its current or default value.
constexpr double USE_DEFAULT = std::numeric_limits<double>::quiet_NaN();
constexpr double MAX_YAW_RATE_DPS = 90.0;
constexpr double METRES_PER_DEGREE = 111320.0;
constexpr double PI = 3.14159265358979323846;

[[noreturn]] void refuse(std::string_view name, std::string_view what) {
  throw Rejected("bad_envelope", std::string(name) + std::string(what));
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if ((c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c) != lower[i]) return false;
  }
  return true;
}

// Decimal text as python's float() reads it, without the underscores and non-ASCII digits it
// also takes. nullopt when the text is not such a number.
std::optional<double> number_from_text(std::string_view text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (equals_ignoring_case(text, "nan")) return std::numeric_limits<double>::quiet_NaN();
  if (equals_ignoring_case(text, "inf") || equals_ignoring_case(text, "infinity"))
    return negative ? -HUGE_VAL : HUGE_VAL;

  // digits [. digits] [e [sign] digits], at least one mantissa digit. `scale` is the decimal
  // order of the first significant digit, kept to tell overflow from underflow below.
  std::size_t i = 0;
  std::size_t mantissa_digits = 0;
  long scale = 0;
  bool significant = false;
  for (; i < text.size() && is_digit(text[i]); ++i, ++mantissa_digits) {
    if (text[i] != '0') significant = true;
    if (significant) ++scale;
  }
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && is_digit(text[i]); ++i, ++mantissa_digits) {
      if (text[i] != '0') significant = true;
      if (!significant) --scale;
    }
  }
  if (mantissa_digits == 0) return std::nullopt;
  long exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exponent_negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) exponent_negative = text[i++] == '-';
    const std::size_t first = i;
    for (; i < text.size() && is_digit(text[i]); ++i)
      exponent = std::min(exponent * 10 + (text[i] - '0'), 1'000'000L);  // saturates
    if (i == first) return std::nullopt;
    if (exponent_negative) exponent = -exponent;
  }
  if (i != text.size()) return std::nullopt;

  double value = 0.0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
  if (error == std::errc::result_out_of_range)
    value = scale + exponent > 0 ? HUGE_VAL : 0.0;
  else if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return negative ? -value : value;
}

// A JSON number, or text holding one; nullopt for anything else (booleans included).
std::optional<double> number_from(const Json& value) {
  if (value.is_number()) return value.as_double();
  if (value.is_string()) return number_from_text(value.as_string());
  return std::nullopt;
}

// Commands without arguments still refuse a malformed "args": nothing of such a command is sent.
void check_args(const Json& args) {
  if (!args.is_null() && !args.is_object()) refuse("args", " is not an object.");
}

// A required, finite argument of takeoff and goto.
double required_number(const Json& args, std::string_view name) {
  const Json* member = args.find(name);
  if (member == nullptr) refuse(name, " is missing.");
  const auto value = number_from(*member);
  if (!value || !std::isfinite(*value)) refuse(name, " is not a number.");
  return *value;
}

// Params travel as 32-bit floats; a larger value would not arrive as sent.
double fits_param(std::string_view name, double value) {
  if (!std::isfinite(value) || std::abs(value) > FLT_MAX) refuse(name, " is out of range.");
  return value;
}

bool is_false_like(const Json& value) {
  return value.is_null() || (value.is_bool() && !value.as_bool()) ||
         (value.is_number() && value.as_double() == 0.0) ||
         (value.is_string() && value.as_string().empty());
}

double clamp_arg(const Json& args, std::string_view name, double limit) {
  double value = 0.0;
  if (const Json* member = args.find(name); member != nullptr && !is_false_like(*member)) {
    const auto read = number_from(*member);
    if (!read) refuse(name, " is not a number.");
    value = *read;
  }
  if (!std::isfinite(value)) refuse(name, " is not a number.");
  return std::clamp(value, -limit, limit);
}

Step command_long(uint16_t command, std::array<double, 7> params) {
  Step step;
  step.command = command;
  step.params = params;
  return step;
}

Step arm_step() {
  return command_long(mavlink::MAV_CMD_COMPONENT_ARM_DISARM, {1, 0, 0, 0, 0, 0, 0});
}

Step guided_step() {
  return command_long(mavlink::MAV_CMD_DO_SET_MODE, {mavlink::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED,
                                                     double(AC_MODES.at("guided")), 0, 0, 0, 0, 0});
}

Json mode_target(std::string_view kind) {
  return Json::object({{"mode", kind}});
}

// A member of a target as a finite number.
std::optional<double> target_number(const Json& target, std::string_view name) {
  const Json* member = target.find(name);
  if (member == nullptr || !member->is_number()) return std::nullopt;
  const double value = member->as_double();
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

Plan plan(std::string_view kind, const Json& args, const VehicleState& state) {
  check_args(args);
  const bool px4 = state.autopilot == "px4";

  if (kind == "land") {
    if (px4)
      return {{command_long(mavlink::MAV_CMD_NAV_LAND,
                            {0, 0, 0, USE_DEFAULT, USE_DEFAULT, USE_DEFAULT, USE_DEFAULT})},
              mode_target(kind)};
    return {{set_mode_step(state, kind)}, mode_target(kind)};
  }
  if (kind == "return_home") {
    if (px4)
      return {{command_long(mavlink::MAV_CMD_NAV_RETURN_TO_LAUNCH, {0, 0, 0, 0, 0, 0, 0})},
              mode_target(kind)};
    return {{set_mode_step(state, kind)}, mode_target(kind)};
  }
  if (kind == "hold") return {{set_mode_step(state, kind)}, mode_target(kind)};

  if (!state.lat || !state.alt_amsl)
    throw Rejected("no_position", "The autopilot has not reported a position yet.");
  // Sea-level altitude of the home point, for PX4's absolute altitudes.
  const double ground = *state.alt_amsl - state.alt_rel.value_or(0.0);

  if (kind == "takeoff") {
    const double alt = required_number(args, "alt_m_agl");
    Plan p;
    if (px4) {
      p.steps = {arm_step(), command_long(mavlink::MAV_CMD_NAV_TAKEOFF,
                                          {0, 0, 0, USE_DEFAULT, USE_DEFAULT, USE_DEFAULT,
                                           fits_param("alt_m_agl", ground + alt)})};
    } else {
      p.steps = {guided_step(), arm_step(),
                 command_long(mavlink::MAV_CMD_NAV_TAKEOFF,
                              {0, 0, 0, USE_DEFAULT, 0, 0, fits_param("alt_m_agl", alt)})};
    }
    p.target = Json::object({{"alt_rel", alt}});
    return p;
  }
  if (kind == "goto") {
    // Beyond these, degrees times 10^7 would not fit COMMAND_INT's int32 coordinates.
    const double lat = required_number(args, "lat_deg");
    if (lat < -90.0 || lat > 90.0) refuse("lat_deg", " must be between -90 and 90.");
    const double lon = required_number(args, "lon_deg");
    if (lon < -180.0 || lon > 180.0) refuse("lon_deg", " must be between -180 and 180.");
    const double alt = required_number(args, "alt_m_agl");
    Step step;
    step.command = mavlink::MAV_CMD_DO_REPOSITION;
    step.is_int = true;
    step.frame = px4 ? mavlink::MAV_FRAME_GLOBAL : mavlink::MAV_FRAME_GLOBAL_RELATIVE_ALT;
    // param1 -1: the autopilot's default speed; the flag lets it switch into the mode that flies
    // the reposition.
    step.params = {-1,
                   mavlink::MAV_DO_REPOSITION_FLAGS_CHANGE_MODE,
                   0,
                   USE_DEFAULT,
                   std::trunc(lat * 1e7),
                   std::trunc(lon * 1e7),
                   fits_param("alt_m_agl", px4 ? ground + alt : alt)};
    return {{step}, Json::object({{"lat", lat}, {"lon", lon}, {"alt_rel", alt}})};
  }
  if (kind == "velocity") {
    Json v = velocity_args(args);
    const Step mode_switch = px4 ? command_long(mavlink::MAV_CMD_DO_SET_MODE,
                                                {mavlink::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED,
                                                 PX4_OFFBOARD, 0, 0, 0, 0, 0})
                                 : guided_step();
    return {{mode_switch}, Json::object({{"velocity", std::move(v)}})};
  }
  throw Rejected("bad_envelope", "Unknown command " + std::string(kind) + ".");
}

Json velocity_args(const Json& args) {
  check_args(args);
  double north = clamp_arg(args, "north_ms", MAX_SPEED_MS);
  double east = clamp_arg(args, "east_ms", MAX_SPEED_MS);
  const double speed = std::hypot(north, east);
  if (speed > MAX_SPEED_MS) {
    north = north * MAX_SPEED_MS / speed;
    east = east * MAX_SPEED_MS / speed;
  }
  const double seconds = clamp_arg(args, "seconds", MAX_VELOCITY_S);
  if (seconds <= 0) throw Rejected("bad_envelope", "seconds must be positive.");
  const double up = clamp_arg(args, "up_ms", MAX_CLIMB_MS);
  const double yaw_rate = clamp_arg(args, "yaw_rate_dps", MAX_YAW_RATE_DPS);
  return Json::object(
      {{"north", north}, {"east", east}, {"up", up}, {"yaw_rate", yaw_rate}, {"seconds", seconds}});
}

bool reached(const Json& target, const VehicleState& state) {
  if (!target.is_object()) return false;
  if (const Json* mode = target.find("mode")) {
    if (!mode->is_string()) return false;
    // A mode the family's table lacks is never reached; called every tick, this must not throw.
    const std::string& kind = mode->as_string();
    if (state.autopilot == "px4" ? !PX4_SUB.contains(kind) : !AC_MODES.contains(kind)) return false;
    return state.in_mode(kind);
  }
  const auto alt = target_number(target, "alt_rel");
  if (!alt || !state.alt_rel || std::abs(*state.alt_rel - *alt) > ARRIVED_ALT_M) return false;
  if (!target.contains("lat")) return true;
  const auto lat = target_number(target, "lat");
  const auto lon = target_number(target, "lon");
  if (!lat || !lon || !state.lat || !state.lon) return false;
  const double north = (*state.lat - *lat) * METRES_PER_DEGREE;
  // Across the antimeridian, -179.99999 and 179.99999 are neighbours.
  const double east =
      std::remainder(*state.lon - *lon, 360.0) * METRES_PER_DEGREE * std::cos(*lat * PI / 180.0);
  return std::hypot(north, east) <= ARRIVED_M;
}

}  // namespace orvel::commands
