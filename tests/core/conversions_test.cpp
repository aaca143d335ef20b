#include "core/conversions.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

#include "core/errors.h"

namespace qvx {
namespace {

TEST(StrToFloat, AcceptsInstrumentAndOperatorForms) {
  EXPECT_DOUBLE_EQ(StrToFloat("100000"), 100000.0);
  EXPECT_DOUBLE_EQ(StrToFloat("  -7E-8 "), -7e-8);
  EXPECT_DOUBLE_EQ(StrToFloat("+1.000000e+05"), 1e5);
  EXPECT_DOUBLE_EQ(StrToFloat(".5"), 0.5);
  EXPECT_DOUBLE_EQ(StrToFloat("5."), 5.0);
  EXPECT_DOUBLE_EQ(StrToFloat("1.0E5"), 1e5);
  EXPECT_EQ(StrToFloat("1e-400"), 0.0);
}

TEST(StrToFloat, RejectsEverythingElseQuotingTheText) {
  for (const char* bad :
       {"", " ", "TIMEOUT", ".", "1..2", "1.2.3", "1e", "1e+", "inf", "nan", "0x10", "1,5", "- 1", "1 2", "1e999"}) {
    try {
      StrToFloat(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(bad) + "' は浮動小数点数ではありません");
    }
  }
}

// Overflow and underflow follow the value, not how many digits or which exponent
// spell it; a text at most the largest double once rounded to 15 digits is that double.
TEST(StrToFloat, JudgesTheRangeByTheValueHoweverWritten) {
  const double max = std::numeric_limits<double>::max();
  const std::string z300(300, '0');
  const std::string z400(400, '0');
  const struct {
    std::string text;
    double value;  // NAN: raises the conversion error
  } cases[] = {
      {"2" + std::string(308, '0') + "e-0", NAN},
      {"1" + std::string(310, '0') + "e-1", NAN},
      {"0.00001e314", NAN},
      {"1e1" + z300, NAN},
      {"1.79769313486233E308", NAN},
      {"-1.797693134862325E308", NAN},  // halves round up, to ...233
      {"9.999999999999999999E308", NAN},
      {"0." + z400 + "1", 0.0},
      {"1E-400", 0.0},
      {"100e-402", 0.0},
      {"1e-1" + z300, 0.0},
      {"0e1" + z300, 0.0},
      {"1.79769313486232E308", max},
      {"-1.79769313486232E308", -max},
      {"1.7976931348623249999E308", max},
      {"0.000" + z300 + "17976931348623157e612", max},
      {"0." + std::string(299, '0') + "1e300", 1.0},
      {"1" + z400 + "e-400", 1.0},
      {"00012.5e-1", 1.25},
      {"4.9406564584124654E-324", std::numeric_limits<double>::denorm_min()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40) + "... (" + std::to_string(c.text.size()) + " chars)");
    if (std::isnan(c.value)) {
      EXPECT_THROW(StrToFloat(c.text), EConvertError);
    } else {
      EXPECT_EQ(StrToFloat(c.text), c.value);
    }
  }
}

TEST(StrToInt, DecimalOnlyWithinRange) {
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("-12"), -12);
  EXPECT_EQ(StrToInt("2147483647"), 2147483647);
  EXPECT_EQ(StrToInt("-2147483648"), -2147483647 - 1);
  for (const char* bad : {"", "1.5", "abc", " 1", "0x10", "2147483648", "99999999999999999999"}) {
    try {
      StrToInt(bad);
      ADD_FAILURE() << "accepted '" << bad << "'";
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.what(), "'" + std::string(bad) + "' は整数ではありません");
    }
  }
}

TEST(FloatToStr, ShortestFormWithFifteenDigits) {
  EXPECT_EQ(FloatToStr(0.0), "0");
  EXPECT_EQ(FloatToStr(-0.0), "0");
  EXPECT_EQ(FloatToStr(1e-8), "1E-8");
  EXPECT_EQ(FloatToStr(-7e-8), "-7E-8");
  EXPECT_EQ(FloatToStr(2.5e-5), "2.5E-5");
  EXPECT_EQ(FloatToStr(0.0002), "0.0002");
  EXPECT_EQ(FloatToStr(0.0001), "0.0001");
  EXPECT_EQ(FloatToStr(0.01), "0.01");
  EXPECT_EQ(FloatToStr(100000), "100000");
  EXPECT_EQ(FloatToStr(1048576), "1048576");
  EXPECT_EQ(FloatToStr(10), "10");
  EXPECT_EQ(FloatToStr(500), "500");
  EXPECT_EQ(FloatToStr(50), "50");
  EXPECT_EQ(FloatToStr(0.1 + 0.2), "0.3");
  EXPECT_EQ(FloatToStr(9.5367431640625), "9.5367431640625");
  EXPECT_EQ(FloatToStr(123456789012345.0), "123456789012345");
  EXPECT_EQ(FloatToStr(1e15), "1E15");
  EXPECT_EQ(FloatToStr(-2.5e20), "-2.5E20");
  EXPECT_EQ(FloatToStr(1.0 / 3.0), "0.333333333333333");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::quiet_NaN()), "NAN");
}

TEST(FloatToStr, RoundTripsThroughStrToFloat) {
  for (double v : {1e-8, -7e-8, 0.0002, 0.01, 100000.0, 12.20703125, 5e7, 3.14159265358979}) {
    EXPECT_DOUBLE_EQ(StrToFloat(FloatToStr(v)), v) << v;
  }
  // The extremes too: the largest double's 15-digit text lies above it.
  using L = std::numeric_limits<double>;
  for (double v : {L::max(), -L::max(), L::min(), L::denorm_min(), -L::denorm_min()}) {
    EXPECT_NEAR(StrToFloat(FloatToStr(v)) / v, 1.0, 1e-14) << FloatToStr(v);
  }
}

TEST(FormatFloat, ThreeDecimalsHalvesAwayFromZero) {
  EXPECT_EQ(FormatFloat("0.000", 0.0), "0.000");
  EXPECT_EQ(FormatFloat("0.000", 9.5367431640625), "9.537");
  EXPECT_EQ(FormatFloat("0.000", 59.6046447753906), "59.605");
  EXPECT_EQ(FormatFloat("0.000", 12.20703125), "12.207");
  EXPECT_EQ(FormatFloat("0.000", 0.0005), "0.001");
  EXPECT_EQ(FormatFloat("0.000", 1.0005), "1.001");
  EXPECT_EQ(FormatFloat("0.000", -1.0005), "-1.001");
  EXPECT_EQ(FormatFloat("0.000", 2.0004999), "2.000");
  EXPECT_EQ(FormatFloat("0.000", 99.9), "99.900");
  EXPECT_EQ(FormatFloat("0.000", 0.9999), "1.000");
  EXPECT_EQ(FormatFloat("0.000", 999.9996), "1000.000");
  EXPECT_EQ(FormatFloat("0.000", -4e9), "-4000000000.000");
  EXPECT_EQ(FormatFloat("0.000", 3.96875e9), "3968750000.000");
  EXPECT_EQ(FormatFloat("0.000", 1e-9), "0.000");
}

TEST(FormatFloat, NoMinusSignBeforeZero) {
  EXPECT_EQ(FormatFloat("0.000", -0.0004), "0.000");
  EXPECT_EQ(FormatFloat("0.000", -0.0006), "-0.001");
  EXPECT_EQ(FormatFloat("0.000", -0.0), "0.000");
  EXPECT_EQ(FormatFloat("0.000", -1e-20), "0.000");
}

TEST(Conversions, IgnoreTheCLocale) {
  // Qt calls setlocale(LC_ALL, ""); a comma locale must not leak into the numbers.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
    GTEST_SKIP() << "no comma locale installed";
  }
  EXPECT_EQ(FloatToStr(2.5e-5), "2.5E-5");
  EXPECT_EQ(FormatFloat("0.000", 1.5), "1.500");
  EXPECT_DOUBLE_EQ(StrToFloat("1.5"), 1.5);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(TryParseIniInteger, DecimalAndHexadecimal) {
  int v = 99;
  EXPECT_TRUE(TryParseIniInteger("0x2", v));
  EXPECT_EQ(v, 2);
  EXPECT_TRUE(TryParseIniInteger("0X1f", v));
  EXPECT_EQ(v, 31);
  EXPECT_TRUE(TryParseIniInteger("-1", v));
  EXPECT_EQ(v, -1);
  EXPECT_TRUE(TryParseIniInteger("0xFFFFFFFF", v));
  EXPECT_EQ(v, -1);
  v = 5;
  for (const char* bad : {"", "0x", "x2", "2.0", "abc", "1e3", "0x1G", "4294967296"}) {
    EXPECT_FALSE(TryParseIniInteger(bad, v)) << bad;
    EXPECT_EQ(v, 5);
  }
}

}  // namespace
}  // namespace qvx

namespace qvx {
namespace {

// The quick path and the exact decimal path must agree everywhere, ties included.
TEST(FormatFloat, AgreesWithTheDecimalRuleAcrossMagnitudes) {
  EXPECT_EQ(FormatFloat("0.000", 0.0015), "0.002");
  EXPECT_EQ(FormatFloat("0.000", 2.675), "2.675");
  EXPECT_EQ(FormatFloat("0.000", 1.2345), "1.235");
  EXPECT_EQ(FormatFloat("0.000", -1.2345), "-1.235");
  EXPECT_EQ(FormatFloat("0.000", 0.012), "0.012");
  EXPECT_EQ(FormatFloat("0.000", 0.1), "0.100");
  EXPECT_EQ(FormatFloat("0.000", 123456789.0125), "123456789.013");
  EXPECT_EQ(FormatFloat("0.000", 1e14), "100000000000000.000");
  EXPECT_EQ(FormatFloat("0.000", 1e20), "100000000000000000000.000");
  EXPECT_EQ(FormatFloat("0", 2.5), "3");
  EXPECT_EQ(FormatFloat("0", -0.4), "0");
  // Every thousandth and its halves from -20 to 20 (k/2000 exactly, written as decimals).
  for (int k = -40000; k <= 40000; ++k) {
    const double v = k / 2000.0;
    const long long thousandths = k >= 0 ? (k + 1) / 2 : -((-k + 1) / 2);
    const long long mag = thousandths < 0 ? -thousandths : thousandths;
    std::string expected = (thousandths < 0 ? "-" : "") + std::to_string(mag / 1000) + ".";
    const std::string frac = std::to_string(mag % 1000);
    expected += std::string(3 - frac.size(), '0') + frac;
    ASSERT_EQ(FormatFloat("0.000", v), expected) << k;
  }
}

}  // namespace
}  // namespace qvx
