// The uplinks with a fake MQTT client, fake MAVLink links and a clock moved by hand.

#include "bridge/uplink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "mavlink/connection.h"
#include "tests/bridge/fakes.h"
#include "tests/testkit/testkit.h"

namespace orvel::bridge {
namespace {

using fakes::FakeMqttClient;
using fakes::Published;

using testkit::CaptureSink;
using testkit::FakeClock;

const std::string BAD_ID_MESSAGE =
    "EDGE_DEVICE_ID (or EDGE_MQTT_USERNAME) must be 1-64 of A-Z a-z 0-9 _ -";

// What happened to one fake link; outlives the link, which the uplink destroys on renewal.
struct LinkRecord {
  std::vector<std::vector<uint8_t>> written;
  bool closed = false;
  bool fail_writes = false;
};

class FakeLink final : public mavlink::Link {
 public:
  explicit FakeLink(LinkRecord& record) : record_(record) {}
  void send_payload(uint32_t, std::span<const uint8_t>) override {}
  std::optional<mavlink::Message> recv(double) override { return std::nullopt; }
  void write(std::span<const uint8_t> bytes) override {
    if (record_.fail_writes) throw std::runtime_error("device gone");
    record_.written.emplace_back(bytes.begin(), bytes.end());
  }
  void wake() override {}
  void close() override { record_.closed = true; }

 private:
  LinkRecord& record_;
};

std::vector<uint8_t> bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

BridgeConfig config_for(const std::string& utm, const std::string& device_id = "drone-7") {
  BridgeConfig c;
  c.utm = utm;
  c.device_id = device_id;
  return c;
}

class UplinkTest : public testing::Test {
 protected:
  std::unique_ptr<Uplink> make(const BridgeConfig& config) {
    return make_uplink(
        config, clock, &sink, [this] { ++envelope_wakeups; },
        [this](const MqttOptions& o) {
          auto c = std::make_unique<FakeMqttClient>(o);
          client = c.get();
          ++clients_made;
          return c;
        },
        [this](std::string_view endpoint, int, uint8_t sysid, uint8_t compid) {
          ++link_attempts;
          if (fail_links) throw mavlink::LinkError("no such host");
          endpoints.emplace_back(endpoint);
          ids.emplace_back(sysid, compid);
          links.push_back(&records.emplace_back());
          return std::unique_ptr<mavlink::Link>(std::make_unique<FakeLink>(*links.back()));
        });
  }
  MqttUplink& mqtt_of(Uplink& uplink) {
    MqttUplink* m = uplink.mqtt();
    if (m == nullptr) throw std::logic_error("not the MQTT uplink");
    return *m;
  }
  size_t count_lines(Level level, const std::string& message) const {
    size_t n = 0;
    for (const auto& line : sink.lines())
      if (line.level == level && line.message == message && line.logger == "orvel_edge.bridge") ++n;
    return n;
  }

  FakeClock clock{1000.0};
  CaptureSink sink;
  FakeMqttClient* client = nullptr;
  int clients_made = 0;
  std::atomic<int> envelope_wakeups{0};
  bool fail_links = false;
  int link_attempts = 0;
  std::vector<std::string> endpoints;
  std::vector<std::pair<int, int>> ids;
  std::deque<LinkRecord> records;
  std::vector<LinkRecord*> links;
};

// --- Choosing and addressing the uplink ------------------------------------------------------

TEST_F(UplinkTest, UtmSchemeChoosesUplinkAndBrokerAddress) {
  struct Case {
    std::string utm;
    bool mqtt;
    std::string host;
    int port;
    bool tls;
    std::string describe;
  };
  const std::vector<Case> cases = {
      {"mqtt://broker.example", true, "broker.example", 1883, false,
       "mqtt://broker.example:1883 utm/mavlink/drone-7"},
      {"mqtt://broker.example:0", true, "broker.example", 1883, false,
       "mqtt://broker.example:1883 utm/mavlink/drone-7"},
      {"mqtt://broker.example:", true, "broker.example", 1883, false,
       "mqtt://broker.example:1883 utm/mavlink/drone-7"},
      {"mqtts://broker.example", true, "broker.example", 8883, true,
       "mqtts://broker.example:8883 utm/mavlink/drone-7"},
      {"mqtts://broker.example:0", true, "broker.example", 8883, true,
       "mqtts://broker.example:8883 utm/mavlink/drone-7"},
      {"MQTTS://Broker.Example:8884/ignored?q=1#f", true, "broker.example", 8884, true,
       "mqtts://broker.example:8884 utm/mavlink/drone-7"},
      {"mqtt://user:pw@10.0.0.5:65535", true, "10.0.0.5", 65535, false,
       "mqtt://10.0.0.5:65535 utm/mavlink/drone-7"},
      {"mqtt://[FE80::1]:1884", true, "fe80::1", 1884, false,
       "mqtt://fe80::1:1884 utm/mavlink/drone-7"},
      {"mqtts://[::1]", true, "::1", 8883, true, "mqtts://::1:8883 utm/mavlink/drone-7"},
      {"udpout:127.0.0.1:14550", false, "", 0, false, "udpout:127.0.0.1:14550"},
      {"tcp:127.0.0.1:5760", false, "", 0, false, "tcp:127.0.0.1:5760"},
      {"serial:/dev/ttyAMA0:921600", false, "", 0, false, "serial:/dev/ttyAMA0:921600"},
      {"/dev/ttyUSB0", false, "", 0, false, "/dev/ttyUSB0"},
      {"mqtt+ws://broker.example", false, "", 0, false, "mqtt+ws://broker.example"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utm);
    client = nullptr;
    endpoints.clear();
    auto uplink = make(config_for(c.utm));
    EXPECT_EQ(uplink->describe(), c.describe);
    if (c.mqtt) {
      ASSERT_NE(uplink->mqtt(), nullptr);
      ASSERT_NE(client, nullptr);
      EXPECT_EQ(client->options.host, c.host);
      EXPECT_EQ(client->options.port, c.port);
      EXPECT_EQ(client->options.tls, c.tls);
      EXPECT_EQ(client->starts, 1);
      EXPECT_TRUE(endpoints.empty());
    } else {
      EXPECT_EQ(uplink->mqtt(), nullptr);
      EXPECT_EQ(client, nullptr);
      EXPECT_EQ(endpoints, std::vector<std::string>{c.utm});
      EXPECT_FALSE(uplink->publish_side("cmdack", "{}"));
    }
  }
}

TEST_F(UplinkTest, UnusableBrokerAddressFailsBeforeAnyClientIsMade) {
  const std::vector<std::string> cases = {
      "mqtt://broker.example:x",
      "mqtt://broker.example:65536",
      "mqtt://broker.example:-1",
      "mqtt://broker.example:+1883",
      "mqtt://broker.example:99999999999999999999999",
      "mqtt://broker.example:1883:1",
      "mqtt://:1883",
      "mqtt://u:secret@",
      "mqtt:broker.example",
      "mqtts:///path",
      "mqtt://u:secret@[::1:1883",
      "mqtt://::1]:1883",
  };
  for (const auto& utm : cases) {
    SCOPED_TRACE(utm);
    try {
      make(config_for(utm));
      ADD_FAILURE() << "accepted";
    } catch (const FatalConfigError& e) {
      EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(clients_made, 0);
}

TEST_F(UplinkTest, DeviceIdIsCheckedOnlyForMqttAndBeforeTheAddress) {
  struct Case {
    std::string id;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"", false},
      {"drone 7", false},
      {"drone/7", false},
      {"drone+", false},
      {"dr\xc3\xb6ne", false},
      {std::string(65, 'a'), false},
      {std::string(64, 'a'), true},
      {"Drone_7-b", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    if (c.valid) {
      EXPECT_NE(make(config_for("mqtt://broker.example", c.id))->mqtt(), nullptr);
    } else {
      try {
        make(config_for("mqtt://broker.example", c.id));
        ADD_FAILURE() << "accepted";
      } catch (const FatalConfigError& e) {
        EXPECT_EQ(e.what(), BAD_ID_MESSAGE);
      }
      // A broken port is reported only after the id.
      try {
        make(config_for("mqtt://broker.example:x", c.id));
        ADD_FAILURE() << "accepted";
      } catch (const FatalConfigError& e) {
        EXPECT_EQ(e.what(), BAD_ID_MESSAGE);
      }
    }
    EXPECT_EQ(make(config_for("udpout:127.0.0.1:14550", c.id))->mqtt(), nullptr);
  }
  EXPECT_EQ(clients_made, 2);
}

TEST_F(UplinkTest, CredentialsFromSettingsWinOverTheUrlEachOnItsOwn) {
  struct Case {
    std::string config_user, config_password, userinfo, user, password;
  };
  const std::vector<Case> cases = {
      {"", "", "", "", ""},
      {"", "", "alice:s3cret@", "alice", "s3cret"},
      {"bob", "", "alice:s3cret@", "bob", "s3cret"},
      {"", "pw2", "alice:s3cret@", "alice", "pw2"},
      {"bob", "pw2", "alice:s3cret@", "bob", "pw2"},
      {"bob", "pw2", "", "bob", "pw2"},
      {"", "", "alice@", "alice", ""},
      {"", "", ":only-pw@", "", "only-pw"},
      {"", "", "al%40ice:p%3Aw@", "al%40ice", "p%3Aw"},
      {"", "", "a:b:c@", "a", "b:c"},
      {"", "", "a@b:c@", "a@b", "c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.userinfo + " / " + c.config_user + " / " + c.config_password);
    auto config = config_for("mqtt://" + c.userinfo + "broker.example:1883");
    config.mqtt_username = c.config_user;
    config.mqtt_password = c.config_password;
    auto uplink = make(config);
    EXPECT_EQ(client->options.username, c.user);
    EXPECT_EQ(client->options.password, c.password);
    EXPECT_EQ(client->options.host, "broker.example");
  }
}

TEST_F(UplinkTest, ClientSessionAndTlsSettings) {
  struct Case {
    std::string utm;
    bool tls;
    std::string ca;
  };
  const std::vector<Case> cases = {
      {"mqtts://broker.example", true, "/etc/orvel/ca.pem"},
      {"mqtt://broker.example", false, ""},  // no TLS even with a CA file set
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.utm);
    auto config = config_for(c.utm);
    config.mqtt_ca = "/etc/orvel/ca.pem";
    auto uplink = make(config);
    EXPECT_EQ(client->options.tls, c.tls);
    EXPECT_EQ(client->options.ca_file, c.ca);
    EXPECT_EQ(client->options.client_id, "edge-drone-7");
    EXPECT_TRUE(client->options.clean_session);
    EXPECT_EQ(client->options.keep_alive_s, 30);
    EXPECT_EQ(client->options.min_retry_s, 1);
    EXPECT_EQ(client->options.max_retry_s, 30);
  }
}

// --- Telemetry batches -----------------------------------------------------------------------

TEST_F(UplinkTest, FramesAreBatchedPerInterval) {
  auto config = config_for("mqtt://broker.example");
  config.mqtt_batch_ms = 250;  // a binary fraction, so the boundary is exact
  auto uplink = make(config);
  client->connected = true;

  uplink->write(bytes("A1"));  // made at the same instant: not yet due
  clock.advance(0.0625);
  uplink->write(bytes("B22"));
  clock.advance(0.0625);
  uplink->write(bytes("C333"));
  clock.advance(0.0625);
  uplink->tick();
  EXPECT_TRUE(client->published.empty());

  clock.advance(0.0625);  // exactly one interval after the flush
  uplink->tick();
  ASSERT_EQ(client->published.size(), 1u);
  EXPECT_EQ(client->published[0].topic, "utm/mavlink/drone-7");
  EXPECT_EQ(client->published[0].payload, "A1B22C333");
  EXPECT_EQ(client->published[0].qos, 0);

  // Ticks with nothing to send do not restart the interval, so after a quiet spell the first
  // frame goes out at once, alone.
  clock.advance(0.125);
  uplink->tick();
  clock.advance(0.125);
  const std::string with_nul("D\0D", 3);
  uplink->write(bytes(with_nul));
  ASSERT_EQ(client->published.size(), 2u);
  EXPECT_EQ(client->published[1].payload, with_nul);

  clock.advance(0.0625);
  uplink->write(bytes("E"));
  uplink->tick();
  EXPECT_EQ(client->published.size(), 2u);
  EXPECT_EQ(mqtt_of(*uplink).dropped(), 0);
}

TEST_F(UplinkTest, BatchesThatCannotBePublishedAreCountedAndDiscarded) {
  auto uplink = make(config_for("mqtt://broker.example"));
  auto& mqtt = mqtt_of(*uplink);

  // Broker down: three frames within one interval are one dropped batch.
  for (const char* frame : {"A", "B", "C"}) {
    uplink->write(bytes(frame));
    clock.advance(0.03);
  }
  clock.advance(0.02);
  uplink->tick();
  EXPECT_EQ(mqtt.dropped(), 1);
  EXPECT_TRUE(client->published.empty());

  // The client refuses the publish (its buffer is full): lost as well.
  client->connected = true;
  client->accept_publish = false;
  clock.advance(0.2);
  uplink->write(bytes("D"));
  EXPECT_EQ(mqtt.dropped(), 2);

  // Nothing of the discarded batches is sent later.
  client->accept_publish = true;
  clock.advance(0.2);
  uplink->write(bytes("E"));
  ASSERT_EQ(client->published.size(), 1u);
  EXPECT_EQ(client->published[0].payload, "E");
  EXPECT_EQ(mqtt.dropped(), 2);
}

TEST_F(UplinkTest, LongBatchIntervalStillBoundsTheBuffer) {
  auto config = config_for("mqtt://broker.example");
  config.mqtt_batch_ms = 3'600'000;
  auto uplink = make(config);
  client->connected = true;
  const std::vector<uint8_t> frame(280, 0xFD);
  const size_t frames = MqttUplink::MAX_BATCH_BYTES / frame.size() + 1;
  for (size_t i = 0; i < frames; ++i) uplink->write(frame);
  ASSERT_EQ(client->published.size(), 1u);
  EXPECT_EQ(client->published[0].payload.size(), frames * frame.size());
}

// --- Side channels and envelopes -------------------------------------------------------------

TEST_F(UplinkTest, SideChannelNeedsAConnection) {
  auto uplink = make(config_for("mqtt://broker.example"));
  const std::string payload("{\"v\": 1}\0\xff", 10);
  EXPECT_FALSE(uplink->publish_side("cmdack", payload));
  EXPECT_TRUE(client->published.empty());

  client->connected = true;
  EXPECT_TRUE(uplink->publish_side("cmdack", payload));
  EXPECT_TRUE(uplink->publish_side("params", "P"));
  ASSERT_EQ(client->published.size(), 2u);
  EXPECT_EQ(client->published[0].topic, "utm/cmdack/drone-7");
  EXPECT_EQ(client->published[0].payload, payload);
  EXPECT_EQ(client->published[0].qos, 1);
  EXPECT_EQ(client->published[1].topic, "utm/params/drone-7");

  client->accept_publish = false;
  EXPECT_FALSE(uplink->publish_side("cmdack", payload));
}

TEST_F(UplinkTest, EnvelopeQueueHoldsTwentyAndDropsTheRest) {
  auto uplink = make(config_for("mqtt://broker.example"));
  auto& mqtt = mqtt_of(*uplink);
  // Delivered from another thread, as the client's network thread does.
  std::thread network([this] {
    for (int i = 0; i < 21; ++i) client->handlers.message("env-" + std::to_string(i));
  });
  network.join();

  EXPECT_EQ(count_lines(Level::Warning, "Command queue full; command dropped"), 1u);
  EXPECT_EQ(envelope_wakeups.load(), 20);
  EXPECT_EQ(mqtt.queued_commands(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(mqtt.take_command(), "env-" + std::to_string(i));
  EXPECT_EQ(mqtt.take_command(), std::nullopt);

  const std::string binary("\x00{}\xfe", 4);
  client->handlers.message(binary);
  EXPECT_EQ(mqtt.take_command(), binary);
  EXPECT_EQ(count_lines(Level::Warning, "Command queue full; command dropped"), 1u);
}

TEST_F(UplinkTest, ConnectionEventsAreLoggedCountedAndResubscribed) {
  auto uplink = make(config_for("mqtt://broker.example"));
  auto& mqtt = mqtt_of(*uplink);
  const std::pair<std::string, int> command_subscription{"utm/cmd/drone-7", 1};

  client->handlers.connect_failed("connection failed");
  EXPECT_EQ(count_lines(Level::Info, "MQTT refused (connection failed)"), 1u);
  EXPECT_EQ(mqtt.connected_count(), 0);
  EXPECT_TRUE(client->subscriptions.empty());

  client->handlers.connected("accepted");
  EXPECT_EQ(count_lines(Level::Info, "MQTT connected (accepted)"), 1u);
  EXPECT_EQ(mqtt.connected_count(), 1);
  EXPECT_EQ(client->subscriptions,
            (std::vector<std::pair<std::string, int>>{command_subscription}));

  client->handlers.connection_lost("connection lost");
  EXPECT_EQ(count_lines(Level::Warning, "MQTT disconnected (connection lost); reconnecting"), 1u);
  client->handlers.connected("accepted on automatic reconnect");
  EXPECT_EQ(mqtt.connected_count(), 2);
  EXPECT_EQ(client->subscriptions,
            (std::vector<std::pair<std::string, int>>{command_subscription, command_subscription}));
}

// --- UDP -------------------------------------------------------------------------------------

TEST_F(UplinkTest, UdpUplinkWritesFramesUnchangedAndRenewsItsConnection) {
  auto config = config_for("udpout:gateway.example:14550");
  config.resolve_seconds = 30;
  auto uplink = make(config);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(ids[0], (std::pair<int, int>{245, 191}));

  const std::string with_nul("\xfd\x00\x01", 3);
  uplink->write(bytes(with_nul));
  EXPECT_EQ(links[0]->written, std::vector<std::vector<uint8_t>>{bytes(with_nul)});

  clock.advance(30);  // not older than resolve_seconds yet
  uplink->tick();
  EXPECT_EQ(links.size(), 1u);

  clock.advance(0.5);
  uplink->tick();
  ASSERT_EQ(links.size(), 2u);
  EXPECT_TRUE(links[0]->closed);
  EXPECT_EQ(endpoints[1], "udpout:gateway.example:14550");
  uplink->write(bytes("F"));
  EXPECT_EQ(links[1]->written.size(), 1u);
  EXPECT_EQ(links[0]->written.size(), 1u);
}

TEST_F(UplinkTest, UdpUplinkKeepsItsConnectionWhenRenewalFails) {
  auto config = config_for("udpout:gateway.example:14550");
  config.resolve_seconds = 30;
  auto uplink = make(config);
  fail_links = true;
  clock.advance(31);
  EXPECT_NO_THROW(uplink->tick());
  EXPECT_EQ(link_attempts, 2);
  EXPECT_EQ(count_lines(Level::Warning,
                        "Could not re-create the uplink to udpout:gateway.example:14550 (no such "
                        "host); keeping the previous connection"),
            1u);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_FALSE(links[0]->closed);
  uplink->write(bytes("F"));
  EXPECT_EQ(links[0]->written.size(), 1u);

  // Not retried on every step, only after another interval.
  uplink->tick();
  clock.advance(30);
  uplink->tick();
  EXPECT_EQ(link_attempts, 2);
  fail_links = false;
  clock.advance(1);
  uplink->tick();
  EXPECT_EQ(link_attempts, 3);
  ASSERT_EQ(links.size(), 2u);
  EXPECT_TRUE(links[0]->closed);
}

TEST_F(UplinkTest, UdpUplinkSurvivesAFailingLink) {
  auto uplink = make(config_for("udpout:gateway.example:14550"));
  links[0]->fail_writes = true;
  EXPECT_NO_THROW(uplink->write(bytes("A")));
  EXPECT_NO_THROW(uplink->write(bytes("B")));
  EXPECT_EQ(
      count_lines(Level::Warning, "Could not send to udpout:gateway.example:14550 (device gone)"),
      1u);

  fail_links = true;
  EXPECT_THROW(make(config_for("udpout:gateway.example:14550")), mavlink::LinkError);
}

}  // namespace
}  // namespace orvel::bridge
