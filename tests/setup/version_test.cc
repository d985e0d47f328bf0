// Ordering of dotted version texts, on both builds: StrToIntW is the
// platform's (Wine's shlwapi under the Windows build).
#include "setup/version.h"

#include <gtest/gtest.h>

#include <stdint.h>

#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::Widen;
using testing_support::WString;

struct VersionRow {
  const char* left;
  const char* right;
  int expected;
};

const VersionRow kRows[] = {
    {"7.1.0.100", "7.1.0.99", 1},  // numbers, not text
    {"10.0", "9.9", 1},            // the first differing component decides
    {"7.01", "7.1", 0},            // leading zeros do not count
    {"7.1.0", "7.1", 1},           // the longer list ranks above, even with zeros
    {"7.1", "7.1.", 0},            // a trailing dot adds no component
    {"7..1", "7.1", 0},            // an empty component is dropped
    {"7 . 1", "7.1", 0},           // blanks around a component are removed
    {"\t7.\t1 ", "7.1", 0},        // so is other white space
    {".7.1", "7.1", 0},            // a leading dot adds no component
    {"", "7.1", -1},               // the empty text has no components
    {"", "", 0},
    {"...", "", 0},  // dots only: no components
    {" . ", "0", -1},
    {"0", "", 1},  // one component ranks above none
    {"2.0.999", "3.0.0", -1},
    {"1.2.3.4", "1.2.3.4", 0},
    {"1.2.3.4", "1.2.3.5", -1},
    {"1.10", "1.9", 1},
    {"007", "7", 0},
    {"2147483647", "2147483646", 1},
};

TEST(CompareVersionsTest, Table) {
  for (const VersionRow& row : kRows) {
    SCOPED_TRACE(std::string("\"") + row.left + "\" vs \"" + row.right + "\"");
    WString left = Widen(row.left);
    WString right = Widen(row.right);
    EXPECT_EQ(row.expected, CompareVersions(left.c_str(), right.c_str()));
    EXPECT_EQ(-row.expected, CompareVersions(right.c_str(), left.c_str()));
  }
}

TEST(CompareVersionsTest, NullCountsAsEmpty) {
  EXPECT_EQ(0, CompareVersions(nullptr, WTEXT("")));
  EXPECT_EQ(-1, CompareVersions(nullptr, WTEXT("1")));
  EXPECT_EQ(1, CompareVersions(WTEXT("1"), nullptr));
}

// A small deterministic generator of version-like texts: digits, dots, blanks,
// leading zeros and an occasional letter or sign, so that components that are
// not plain numbers are also exercised.
class VersionTexts {
 public:
  WString Next() {
    static const char kAlphabet[] = "0123456789..  0019.-+a";
    WString text;
    int length = static_cast<int>(Draw() % 12);
    for (int i = 0; i < length; ++i) {
      text += static_cast<WCHAR>(kAlphabet[Draw() % (sizeof(kAlphabet) - 1)]);
    }
    return text;
  }

 private:
  uint32_t Draw() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }
  uint32_t state_ = 12345;
};

TEST(CompareVersionsTest, SwappingOperandsNegatesAndResultIsASign) {
  VersionTexts texts;
  for (int i = 0; i < 4000; ++i) {
    WString left = texts.Next();
    WString right = i % 5 == 0 ? left : texts.Next();
    int forward = CompareVersions(left.c_str(), right.c_str());
    int backward = CompareVersions(right.c_str(), left.c_str());
    SCOPED_TRACE("\"" + Narrow(left.c_str()) + "\" vs \"" + Narrow(right.c_str()) + "\"");
    ASSERT_TRUE(forward == 1 || forward == 0 || forward == -1) << forward;
    ASSERT_EQ(-forward, backward);
    if (left == right) {
      ASSERT_EQ(0, forward);
    }
  }
}

TEST(CompareVersionsTest, OrderIsTransitiveOverASample) {
  VersionTexts texts;
  std::vector<WString> sample;
  for (int i = 0; i < 60; ++i) sample.push_back(texts.Next());
  for (const WString& a : sample) {
    for (const WString& b : sample) {
      if (CompareVersions(a.c_str(), b.c_str()) > 0) continue;
      for (const WString& c : sample) {
        if (CompareVersions(b.c_str(), c.c_str()) > 0) continue;
        ASSERT_LE(CompareVersions(a.c_str(), c.c_str()), 0)
            << Narrow(a.c_str()) << " <= " << Narrow(b.c_str()) << " <= " << Narrow(c.c_str());
      }
    }
  }
}

}  // namespace
