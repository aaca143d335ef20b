#include "setup/parameter_edits.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "core/errors.h"
#include "support/fake_channel.h"

namespace qvx {
namespace {

using test::FakeChannel;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(NumericKeyFilter, OnlyDigitsPointAndBackspacePass) {
  const std::string allowed = "0123456789.\b";
  for (int code = 0; code < 256; ++code) {
    char key = static_cast<char>(code);
    NumericKeyFilter(key);
    const bool passes = code != 0 && allowed.find(static_cast<char>(code)) != std::string::npos;
    EXPECT_EQ(key, passes ? static_cast<char>(code) : '\0') << "code " << code;
  }
}

TEST(FrequencyEnter, SendsTheTextAsTypedThenStoresTheNumber) {
  FakeChannel ch;
  double target = 5;
  int selected = 0;
  FrequencyEnter(ch, kStartFrequencyCommand, "01500.50", target, [&] { ++selected; });
  EXPECT_THAT(ch.sent, ElementsAre(":MATH1:FFT:FREQuency:STARt 01500.50"));
  EXPECT_EQ(target, 1500.5);
  EXPECT_EQ(selected, 1);

  FrequencyEnter(ch, kEndFrequencyCommand, "100000", target, {});
  EXPECT_EQ(ch.sent.back(), ":MATH1:FFT:FREQuency:END 100000");
  EXPECT_EQ(target, 100000);
}

TEST(FrequencyEnter, TextThatIsNoNumberIsSentThenRefused) {
  for (const std::string text : {"", "1..2", "."}) {
    SCOPED_TRACE(text);
    FakeChannel ch;
    double target = 42;
    int selected = 0;
    EXPECT_THROW(FrequencyEnter(ch, kStartFrequencyCommand, text, target, [&] { ++selected; }), EConvertError);
    EXPECT_THAT(ch.sent, ElementsAre(":MATH1:FFT:FREQuency:STARt " + text));
    EXPECT_EQ(target, 42);
    EXPECT_EQ(selected, 1);
  }
}

TEST(AverageEnter, CountsFromOneToSixtyFourAreSentAsTyped) {
  FakeChannel ch;
  int selected = 0;
  auto selectAll = [&] { ++selected; };
  AverageEnter(ch, "64", selectAll);
  AverageEnter(ch, "1", selectAll);
  AverageEnter(ch, "007", selectAll);
  EXPECT_THAT(ch.sent, ElementsAre(":MATH1:FFT:AVCNt 64", ":MATH1:FFT:AVCNt 1", ":MATH1:FFT:AVCNt 007"));
  EXPECT_EQ(selected, 3);
}

TEST(AverageEnter, CountsOutOfRangeAreIgnoredSilently) {
  FakeChannel ch;
  int selected = 0;
  for (const char* text : {"65", "0", "-1", "99999999"}) {
    EXPECT_NO_THROW(AverageEnter(ch, text, [&] { ++selected; })) << text;
  }
  EXPECT_THAT(ch.sent, IsEmpty());
  EXPECT_EQ(selected, 0);
}

TEST(AverageEnter, NonIntegerThrowsBeforeAnythingIsSent) {
  for (const char* text : {"1.5", "", "3a", "99999999999"}) {
    SCOPED_TRACE(text);
    FakeChannel ch;
    int selected = 0;
    EXPECT_THROW(AverageEnter(ch, text, [&] { ++selected; }), EConvertError);
    EXPECT_THAT(ch.sent, IsEmpty());
    EXPECT_EQ(selected, 0);
  }
}

}  // namespace
}  // namespace qvx
