// Stored flight logs: listing, paced download, ranges and stopping.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/sim/sim_rig.h"

namespace orvel::sim::testing {
namespace {

m::LogRequestList list_request(uint16_t start, uint16_t end) {
  m::LogRequestList r;
  r.target_system = 1;
  r.target_component = 1;
  r.start = start;
  r.end = end;
  return r;
}

m::LogRequestData data_request(uint16_t id, uint32_t ofs, uint32_t count) {
  m::LogRequestData r;
  r.target_system = 1;
  r.target_component = 1;
  r.id = id;
  r.ofs = ofs;
  r.count = count;
  return r;
}

TEST(Logs, StoredLogsAreFixedAndDistinct) {
  const auto a = make_logs(3);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].data.size(), 10u * 1024);
  EXPECT_EQ(a[1].data.size(), 50u * 1024);
  EXPECT_EQ(a[2].data.size(), 3u * 1024);
  EXPECT_LT(a[0].time_utc, a[1].time_utc);
  EXPECT_EQ(make_logs(3)[1].data, a[1].data);
  EXPECT_FALSE(std::equal(a[2].data.begin(), a[2].data.end(), a[0].data.begin()));
}

struct ListCase {
  const char* name;
  uint16_t start, end;
  std::vector<uint16_t> ids;
};

class LogList : public ::testing::TestWithParam<ListCase> {};

TEST_P(LogList, AnswersOneEntryPerLogInRange) {
  const ListCase& c = GetParam();
  Rig rig;
  rig.deliver(list_request(c.start, c.end));
  const auto entries = rig.sent_as<m::LogEntry>();
  std::vector<uint16_t> ids;
  for (const auto& e : entries) {
    ids.push_back(e.id);
    const StoredLog& log = rig.sim.logs().at(e.id - 1u);
    EXPECT_EQ(e.num_logs, 3);
    EXPECT_EQ(e.last_log_num, 3);
    EXPECT_EQ(e.size, log.data.size());
    EXPECT_EQ(e.time_utc, log.time_utc);
  }
  EXPECT_EQ(ids, c.ids);
}

INSTANTIATE_TEST_SUITE_P(Ranges, LogList,
                         ::testing::Values(ListCase{"All", 0, 0xFFFF, {1, 2, 3}},
                                           ListCase{"One", 2, 2, {2}},
                                           ListCase{"FromSecond", 2, 0xFFFF, {2, 3}},
                                           ListCase{"UpToSecond", 0, 2, {1, 2}},
                                           ListCase{"Reversed", 3, 1, {}},
                                           ListCase{"PastTheEnd", 4, 9, {}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Logs, EmptyListAnswersOneEntryWithNoLogs) {
  SimOptions o;
  o.logs = 0;
  Rig rig(o);
  rig.deliver(list_request(0, 0xFFFF));
  const auto entries = rig.sent_as<m::LogEntry>();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].num_logs, 0);
  EXPECT_EQ(entries[0].size, 0u);
}

TEST(Logs, ListForAnotherSystemIsIgnored) {
  Rig rig;
  auto r = list_request(0, 0xFFFF);
  r.target_system = 2;
  rig.deliver(r);
  EXPECT_TRUE(rig.sent_as<m::LogEntry>().empty());
}

struct DataCase {
  const char* name;
  uint16_t id;
  uint32_t ofs, count;
  // Expected byte range; a negative `to` means the log's end.
  uint32_t from;
  long to;
};

class LogData : public ::testing::TestWithParam<DataCase> {};

TEST_P(LogData, ChunksReassembleToTheStoredBytes) {
  const DataCase& c = GetParam();
  Rig rig;
  rig.deliver(data_request(c.id, c.ofs, c.count));
  rig.run(20.0);
  const std::vector<uint8_t>& stored = rig.sim.logs().at(c.id - 1u).data;
  const size_t to = c.to < 0 ? stored.size() : static_cast<size_t>(c.to);
  const auto chunks = rig.sent_as<m::LogData>();
  ASSERT_FALSE(chunks.empty());
  std::vector<uint8_t> got;
  uint32_t next = c.from;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const auto& d = chunks[i];
    EXPECT_EQ(d.id, c.id);
    ASSERT_EQ(d.ofs, next) << "chunk " << i;
    // Full chunks except the last.
    if (i + 1 < chunks.size()) {
      EXPECT_EQ(d.count, LOG_CHUNK) << "chunk " << i;
    }
    got.insert(got.end(), d.data.begin(), d.data.begin() + d.count);
    next += d.count;
  }
  EXPECT_LE(chunks.back().count, LOG_CHUNK);
  EXPECT_EQ(got, std::vector<uint8_t>(stored.begin() + c.from, stored.begin() + to));
}

INSTANTIATE_TEST_SUITE_P(Ranges, LogData,
                         ::testing::Values(DataCase{"WholeSmallLog", 3, 0, LOG_TO_END, 0, -1},
                                           DataCase{"WholeLargeLog", 2, 0, LOG_TO_END, 0, -1},
                                           DataCase{"Middle", 1, 1000, 500, 1000, 1500},
                                           DataCase{"OneShortChunk", 1, 7, 30, 7, 37},
                                           DataCase{"CountPastTheEnd", 3, 3000, 1000, 3000, -1},
                                           DataCase{"ExactChunks", 1, 90, 180, 90, 270}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(Logs, OffsetPastTheEndAnswersOneEmptyChunk) {
  Rig rig;
  rig.deliver(data_request(3, 5000, 100));
  rig.run(1.0);
  const auto chunks = rig.sent_as<m::LogData>();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].ofs, 5000u);
  EXPECT_EQ(chunks[0].count, 0);
}

TEST(Logs, UnknownLogSendsNothing) {
  Rig rig;
  rig.deliver(data_request(9, 0, LOG_TO_END));
  rig.run(1.0);
  EXPECT_TRUE(rig.sent_as<m::LogData>().empty());
}

TEST(Logs, DownloadIsPacedOverTicks) {
  Rig rig;
  rig.deliver(data_request(2, 0, LOG_TO_END));
  EXPECT_TRUE(rig.sent_as<m::LogData>().empty());
  rig.run(0.15);  // one kinematics step
  const auto first = rig.sent_as<m::LogData>();
  ASSERT_FALSE(first.empty());
  EXPECT_LT(first.back().ofs + first.back().count, rig.sim.logs()[1].data.size());
}

TEST(Logs, EndStopsSending) {
  Rig rig;
  rig.deliver(data_request(2, 0, LOG_TO_END));
  rig.run(0.25);
  const auto before = rig.sent_as<m::LogData>();
  ASSERT_FALSE(before.empty());
  ASSERT_LT(before.back().ofs + before.back().count, rig.sim.logs()[1].data.size());
  m::LogRequestEnd end;
  end.target_system = 1;
  end.target_component = 1;
  rig.deliver(end);
  const size_t mark = rig.link.sent.size();
  rig.run(10.0);
  EXPECT_TRUE(rig.sent_as<m::LogData>(mark).empty());
}

}  // namespace
}  // namespace orvel::sim::testing
