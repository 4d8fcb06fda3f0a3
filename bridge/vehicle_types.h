#pragma once
// Which HEARTBEAT senders are vehicles: ground stations, companion computers, gimbals, cameras
// and ADS-B receivers also send HEARTBEAT, and must not be taken for the aircraft.
#include <algorithm>
#include <array>
#include <cstdint>

#include "mavlink/messages.h"

namespace orvel::bridge {

inline constexpr std::array<uint8_t, 5> VEHICLE_TYPES_EXCLUDED = {
    mavlink::MAV_TYPE_GCS, mavlink::MAV_TYPE_ONBOARD_CONTROLLER, mavlink::MAV_TYPE_GIMBAL,
    mavlink::MAV_TYPE_CAMERA, mavlink::MAV_TYPE_ADSB};

// Whether a HEARTBEAT `type` (MAV_TYPE) belongs to a vehicle.
inline bool is_vehicle_type(uint8_t mav_type) {
  return std::find(VEHICLE_TYPES_EXCLUDED.begin(), VEHICLE_TYPES_EXCLUDED.end(), mav_type) ==
         VEHICLE_TYPES_EXCLUDED.end();
}

}  // namespace orvel::bridge
