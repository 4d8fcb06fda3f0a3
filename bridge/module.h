#pragma once
// What the core asks of a module that takes requests from the platform (flight logs, readiness
// checks, camera, and the command executor, which takes whatever the others leave).
//
// Every operation below is called by the core on the main thread, one at a time. None may
// block for long (network work belongs on a module's own worker thread) and none may let an
// exception escape: a module answers its own routine failures (unreadable or badly signed
// envelopes, refusals, network errors) through the `answer` callback it was given, because an
// exception that reaches the core ends the process. A module never holds a lock of its own while
// calling `answer`.

#include <functional>
#include <string_view>

#include "mavlink/message.h"
#include "support/json.h"

namespace orvel::bridge {

// Sends a reply map to the platform ("cmdack" channel). Safe from any thread.
using Answer = std::function<void(const Json& message)>;

class RequestModule {
 public:
  virtual ~RequestModule() = default;

  // Whether this module takes the envelope (the raw MQTT payload). Must answer false, without
  // throwing, for a payload it cannot read. The command executor is never asked: it gets every
  // envelope that no other module claimed.
  virtual bool handles(std::string_view envelope) = 0;
  // Handles a claimed envelope: verify it, act, answer.
  virtual void on_envelope(std::string_view envelope) = 0;
  // Every turn of the loop, about ten times a second or more; `now` is monotonic seconds.
  virtual void tick(double now) = 0;
  // Every MAVLink message from the autopilot link, whatever its sender.
  virtual void on_message(const mavlink::Message& msg) = 0;
  // This module's keys for the hello message; may be empty, never absent.
  virtual Json hello() = 0;
};

}  // namespace orvel::bridge
