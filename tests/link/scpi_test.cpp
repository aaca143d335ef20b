// Typed queries, the block reader's strict reading, and the preamble: transport failures and
// bad data told apart.
#include "link/scpi.h"

#include <gtest/gtest.h>

#include "link/block.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;

TEST(TypedQueries, TellSilenceFromAnAnswerThatIsNoNumber) {
  struct Case {
    const char* reply;  // nullptr: no answer
    LinkFault fault;
    double value;
  } cases[] = {
      {"1.0E+06\n", LinkFault::kNone, 1e6}, {" 250000 \n", LinkFault::kNone, 250000},
      {"1.5\n", LinkFault::kBadData, 0},  // a number, but no whole one
      {"abc\n", LinkFault::kBadData, 0},    {nullptr, LinkFault::kTransport, 0},
  };
  for (const Case& c : cases) {
    FakeChannel fake;
    if (c.reply) fake.ReplyTo(":ACQuire:MDEPth?", c.reply);
    WholeLineChannel ch(fake);
    const Queried<std::int64_t> q = QueryInteger(ch, ":ACQuire:MDEPth?");
    EXPECT_EQ(q.fault, c.fault) << (c.reply ? c.reply : "silent") << q.message;
    if (q.ok()) {
      EXPECT_EQ(q.value, c.value);
    } else {
      EXPECT_NE(q.message.find(":ACQuire:MDEPth?"), std::string::npos) << q.message;
    }
  }
}

TEST(StrictBlocks, TellABrokenStreamFromWrongData) {
  struct Case {
    std::string bytes;
    bool close;
    BlockStatus status;
  } cases[] = {
      {"#15abcde\n", false, BlockStatus::kOk},       {"#9000000000\n", false, BlockStatus::kEmpty},
      {"#16abcdef\n", false, BlockStatus::kBadData},  // not the 5 asked for
      {"XY", false, BlockStatus::kBadData},          {"#1x", false, BlockStatus::kBadData},
      {"#15ab", true, BlockStatus::kTransport},      {"#15ab", false, BlockStatus::kTransport},
  };
  for (const Case& c : cases) {
    FakeChannel ch;
    ch.Data(c.bytes);
    if (c.close) ch.Closed();
    BlockRules rules;
    rules.receive_ms = 5;
    rules.quiet_ms = 30;
    rules.header_ms = 30;
    rules.digits_ms = 30;
    rules.expected_length = 5;
    std::string data(5, '\0');
    const BlockOutcome out = ReadDefiniteBlock(ch, rules, [&](std::int64_t got, std::int64_t) {
      return BlockRoom{data.data() + got, data.size() - static_cast<std::size_t>(got)};
    });
    EXPECT_EQ(out.status, c.status) << c.bytes << ": " << out.message;
    if (c.status == BlockStatus::kOk) {
      EXPECT_EQ(data, "abcde");
    }
    EXPECT_EQ(out.peer_closed, c.close);
  }
}

TEST(Preamble, IsCheckedAgainstWhatTheSetUpImplies) {
  PreambleExpectation e;
  e.record_points = 1000000;
  e.window_points = 250000;
  e.sample_rate_hz = 1e6;
  e.channel_scale_v = 0.032;
  struct Case {
    const char* reply;
    const char* refused;  // nullptr: taken
  } cases[] = {
      {"0,2,1000000,1,1.0E-06,0,0,1.0E-03,0,128", nullptr},
      {"0,2,250000,1,1.0E-06,0,0,1.0E-03,0,128", nullptr},  // the read window's length
      {"0,2,1000,1,1.0E-06,0,0,1.0E-03,0,128", "points (field 3)"},
      {"0,2,3000000000,1,1.0E-06,0,0,1.0E-03,0,128", "points (field 3)"},
      {"0,2,1000000,1,1.0E-300,0,0,1.0E-03,0,128", "xincrement (field 5)"},
      {"0,2,1000000,1,1.0E-06,0,0,1.0E+308,0,128", "yincrement (field 8)"},
      {"0,2,1000000,1,1.0E-06,0,0,0,0,128", "no usable conversion"},
      {"0,2,1000000,1,nan,0,0,1.0E-03,0,128", "field 5 ('nan') is not a number"},
      {"0,2,1000000,1,1.0E-06,0,0,1.0E-03,0", "9 fields"},
  };
  for (const Case& c : cases) {
    const Queried<Preamble> p = ParsePreamble(c.reply, e);
    EXPECT_EQ(p.ok(), c.refused == nullptr) << c.reply << ": " << p.message;
    if (c.refused) {
      EXPECT_EQ(p.fault, LinkFault::kBadData);
      EXPECT_NE(p.message.find(c.refused), std::string::npos) << p.message;
    }
  }
  EXPECT_DOUBLE_EQ(ParsePreamble(cases[0].reply, e).value.Volts(160), 0.032);
}

}  // namespace
}  // namespace qvx
