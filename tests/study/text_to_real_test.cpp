// Numbers of a study file read exactly as atof reads them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "study/study.h"

namespace {

// Bit for bit, so that -0.0 and NaN signs count too.
void expect_same_as_atof(const std::string &text) {
  double want = atof(text.c_str());
  double got = text_to_real(text.c_str());
  uint64_t a, b;
  memcpy(&a, &want, sizeof a);
  memcpy(&b, &got, sizeof b);
  EXPECT_EQ(a, b) << "text \"" << text << "\": atof " << want << ", got " << got;
}

TEST(TextToReal, HandPickedTextsReadAsAtofReadsThem) {
  const char *texts[] = {"0",
                         "-0",
                         "+0",
                         "0.5",
                         ".5",
                         "5.",
                         ".",
                         "-.",
                         "",
                         "   ",
                         " \t\n\v\f\r12",
                         "12kW",
                         "1.5.3",
                         "1e",
                         "1e+",
                         "1e-",
                         "1e5",
                         "1E-5",
                         "2.5e-3x",
                         "-1e22",
                         "1e23",
                         "1e-22",
                         "1e-23",
                         "0.1",
                         "0.2",
                         "0.3",
                         "123456789012345678",
                         "1234567890123456789",
                         "12345678901234567890",
                         "9007199254740992",
                         "9007199254740993",
                         "9007199254740993e-5",
                         "0.000000000000000000001",
                         "00000000000000000000000000001",
                         "0.0000000000000000000000000001",
                         "inf",
                         "-Infinity",
                         "nan",
                         "-nan",
                         "NAN(123)",
                         "0x1p-1",
                         "0X10",
                         "-0x1.8p1",
                         "0x",
                         "1e99999",
                         "1e-99999",
                         "+-1",
                         "-+1",
                         "--1",
                         "e5",
                         "1,5",
                         "\xC2\xA0\x31", // a no-break space, then 1
                         "4.9e-324",
                         "1.7976931348623157e308",
                         "0.6",
                         "0.85",
                         "50",
                         "100",
                         "0.4",
                         "2852.0",
                         "0.635"};
  for (const char *t : texts) expect_same_as_atof(t);
}

TEST(TextToReal, RandomDecimalsReadAsAtofReadsThem) {
  std::mt19937_64 rng(20261210);
  for (int i = 0; i < 300000; i++) {
    std::string t;
    if (rng() % 4 == 0) t += ' ';
    if (rng() % 3 == 0) t += (rng() % 2) ? '-' : '+';
    int before = (int)(rng() % 12), after = (int)(rng() % 12);
    for (int k = 0; k < before; k++) t += (char)('0' + rng() % 10);
    if (rng() % 5) t += '.';
    for (int k = 0; k < after; k++) t += (char)('0' + rng() % 10);
    if (rng() % 4 == 0) {
      t += (rng() % 2) ? 'e' : 'E';
      if (rng() % 2) t += (rng() % 2) ? '-' : '+';
      int ed = (int)(rng() % 3);
      for (int k = 0; k < ed; k++) t += (char)('0' + rng() % 10);
    }
    if (rng() % 4 == 0) t += " kW";
    expect_same_as_atof(t);
    if (HasFailure()) return;
  }
}

} // namespace
