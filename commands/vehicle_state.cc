#include "commands/vehicle_state.h"

#include "mavlink/messages.h"

namespace orvel::commands {

void VehicleState::on_heartbeat(const mavlink::Message& msg) {
  const auto hb = msg.as<mavlink::Heartbeat>();
  if (!hb) return;
  if (!sysid) {
    sysid = msg.sysid;
    compid = msg.compid;
    if (hb->autopilot == mavlink::MAV_AUTOPILOT_PX4)
      autopilot = "px4";
    else if (hb->autopilot == mavlink::MAV_AUTOPILOT_ARDUPILOTMEGA)
      autopilot = "ardupilot";
    else
      autopilot = "generic";
  }
  // Any component of the vehicle's system counts, not only the one that fixed it.
  if (msg.sysid == *sysid) custom_mode = hb->custom_mode;
}

void VehicleState::on_position(const mavlink::Message& msg) {
  if (!sysid || msg.sysid != *sysid) return;
  const auto pos = msg.as<mavlink::GlobalPositionInt>();
  if (!pos) return;
  lat = pos->lat / 1e7;
  lon = pos->lon / 1e7;
  alt_amsl = pos->alt / 1000.0;
  alt_rel = pos->relative_alt / 1000.0;
}

bool VehicleState::in_mode(std::string_view kind) const {
  if (autopilot == "px4") {
    const uint32_t main_mode = (custom_mode >> 16) & 0xFF;
    const uint32_t sub_mode = (custom_mode >> 24) & 0xFF;
    return main_mode == PX4_AUTO && sub_mode == PX4_SUB.at(kind);
  }
  return custom_mode == AC_MODES.at(kind);
}

Step set_mode_step(const VehicleState& state, std::string_view kind) {
  Step step;
  step.command = mavlink::MAV_CMD_DO_SET_MODE;
  if (state.autopilot == "px4")
    step.params = {
        mavlink::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED, PX4_AUTO, double(PX4_SUB.at(kind)), 0, 0, 0, 0};
  else
    step.params = {
        mavlink::MAV_MODE_FLAG_CUSTOM_MODE_ENABLED, double(AC_MODES.at(kind)), 0, 0, 0, 0, 0};
  return step;
}

}  // namespace orvel::commands
