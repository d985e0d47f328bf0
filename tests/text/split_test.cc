// SplitString and Trim: tokens at a delimiter, with and without trimming, and
// trimming of white space or of a character set.
#include "text/split.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::Narrow;
using testing_support::WString;

std::vector<WString> Tokens(const List<CString>& list) {
  std::vector<WString> out;
  for (const CString& token : list) out.emplace_back(token.GetString());
  return out;
}

std::string Show(const std::vector<WString>& tokens) {
  std::string out = "[";
  for (size_t i = 0; i < tokens.size(); ++i) out += (i ? "|" : "") + Narrow(tokens[i].c_str());
  return out + "]";
}

struct SplitRow {
  LPCWSTR source;
  LPCWSTR delimiter;
  bool any_character;
  bool trim;
  std::vector<WString> expected;
};

TEST(SplitStringTest, Tokens) {
  const SplitRow rows[] = {
      {WTEXT("7.1.0"), WTEXT("."), false, true, {WTEXT("7"), WTEXT("1"), WTEXT("0")}},
      {WTEXT("7.1.0"), WTEXT("."), false, false, {WTEXT("7"), WTEXT("1"), WTEXT("0")}},
      {WTEXT(""), WTEXT("."), false, true, {}},
      {WTEXT(""), WTEXT("."), false, false, {}},
      {WTEXT("7"), WTEXT("."), false, true, {WTEXT("7")}},
      {WTEXT("7"), WTEXT("."), false, false, {WTEXT("7")}},
      {WTEXT("7.1."), WTEXT("."), false, true, {WTEXT("7"), WTEXT("1")}},
      {WTEXT("7.1."), WTEXT("."), false, false, {WTEXT("7"), WTEXT("1")}},
      {WTEXT(".7"), WTEXT("."), false, false, {WTEXT(""), WTEXT("7")}},
      {WTEXT(".7"), WTEXT("."), false, true, {WTEXT("7")}},
      {WTEXT("7..1"), WTEXT("."), false, false, {WTEXT("7"), WTEXT(""), WTEXT("1")}},
      {WTEXT("7..1"), WTEXT("."), false, true, {WTEXT("7"), WTEXT("1")}},
      {WTEXT("."), WTEXT("."), false, false, {WTEXT("")}},
      {WTEXT("."), WTEXT("."), false, true, {}},
      {WTEXT("7 . 1"), WTEXT("."), false, false, {WTEXT("7 "), WTEXT(" 1")}},
      {WTEXT("7 . 1"), WTEXT("."), false, true, {WTEXT("7"), WTEXT("1")}},
      {WTEXT(" \t "), WTEXT("."), false, true, {}},
      {WTEXT(" \t "), WTEXT("."), false, false, {WTEXT(" \t ")}},
      {WTEXT("\t10 .\r\n2"), WTEXT("."), false, true, {WTEXT("10"), WTEXT("2")}},
      // Any-character mode: every unit of the delimiter text cuts.
      {WTEXT("a,b;c"), WTEXT(",;"), true, false, {WTEXT("a"), WTEXT("b"), WTEXT("c")}},
      {WTEXT("a,;b"), WTEXT(",;"), true, false, {WTEXT("a"), WTEXT(""), WTEXT("b")}},
      {WTEXT("a,;b"), WTEXT(",;"), false, false, {WTEXT("a"), WTEXT("b")}},
      {WTEXT("a;,b"), WTEXT(",;"), false, false, {WTEXT("a;,b")}},
      // A delimiter of several units is stepped over whole.
      {WTEXT("a::b::c"), WTEXT("::"), false, false, {WTEXT("a"), WTEXT("b"), WTEXT("c")}},
      {WTEXT("a:b"), WTEXT("::"), false, false, {WTEXT("a:b")}},
      {WTEXT("a::"), WTEXT("::"), false, false, {WTEXT("a")}},
  };
  for (const SplitRow& row : rows) {
    SCOPED_TRACE("'" + Narrow(row.source) + "' at '" + Narrow(row.delimiter) + "'" +
                 (row.any_character ? " any" : "") + (row.trim ? " trim" : ""));
    CString source(row.source);
    List<CString> tokens;
    SplitString(source, row.delimiter, tokens, row.any_character, row.trim);
    EXPECT_EQ(Show(row.expected), Show(Tokens(tokens)));
    for (const CString& token : tokens) {
      EXPECT_EQ(0, token.GetString()[token.GetLength()]);
      if (!token.IsEmpty()) {
        EXPECT_EQ(1, token.GetRefCount()) << "each token is a string of its own";
      }
    }
    EXPECT_EQ(WString(row.source), WString(source.GetString())) << "the source is read only";
  }
}

TEST(SplitStringTest, ReplacesWhatTheListHeld) {
  List<CString> tokens;
  tokens.Append(CString(WTEXT("old")));
  tokens.Append(CString(WTEXT("entries")));
  SplitString(CString(WTEXT("1.2")), WTEXT("."), tokens, false, true);
  EXPECT_EQ(Show({WTEXT("1"), WTEXT("2")}), Show(Tokens(tokens)));
  SplitString(CString(), WTEXT("."), tokens, false, true);
  EXPECT_EQ(0, tokens.Count());
}

TEST(SplitStringTest, ManyTokensGrowTheList) {
  WString source;
  for (int i = 0; i < 100; ++i) source += WString(i ? WTEXT(".") : WTEXT("")) + WTEXT("x");
  List<CString> tokens;
  SplitString(CString(source.c_str()), WTEXT("."), tokens, false, true);
  ASSERT_EQ(100, tokens.Count());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(WString(WTEXT("x")), tokens[i].GetString()) << i;
}

// Appending an element of the list itself: the copy is made before the
// storage that holds the element is given up, at every growth of the list.
TEST(ListTest, AppendsItsOwnElementsWhileGrowing) {
  struct Row {
    const char* name;
    int (*pick)(int count);
  };
  const Row rows[] = {
      {"first", [](int) { return 0; }},
      {"middle", [](int count) { return count / 2; }},
      {"last", [](int count) { return count - 1; }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    List<CString> list;
    std::vector<WString> expected;
    for (LPCWSTR text : {WTEXT("a"), WTEXT("b"), WTEXT("c"), WTEXT("d")}) {
      list.Append(CString(text));
      expected.emplace_back(text);
    }
    // The list grows at 4, 8 and 16 elements.
    while (list.Count() < 20) {
      int source = row.pick(list.Count());
      list.Append(list[source]);
      expected.push_back(expected[static_cast<size_t>(source)]);
    }
    EXPECT_EQ(Show(expected), Show(Tokens(list)));
  }
}

struct TrimRow {
  LPCWSTR text;
  LPCWSTR set;
  LPCWSTR expected;
};

TEST(TrimTest, WhiteSpaceAndSets) {
  const TrimRow rows[] = {
      {WTEXT("  7.1  "), nullptr, WTEXT("7.1")}, {WTEXT("\t\r\n 7 1 \v\f"), nullptr, WTEXT("7 1")},
      {WTEXT("   "), nullptr, WTEXT("")},        {WTEXT(""), nullptr, WTEXT("")},
      {WTEXT("x"), nullptr, WTEXT("x")},         {WTEXT("a  b"), nullptr, WTEXT("a  b")},
      {WTEXT(" a"), WTEXT(""), WTEXT("a")},      {WTEXT("-.7.1.-"), WTEXT(".-"), WTEXT("7.1")},
      {WTEXT("7.1"), WTEXT(".-"), WTEXT("7.1")}, {WTEXT("x-.-x"), WTEXT(".-"), WTEXT("x-.-x")},
      {WTEXT("....."), WTEXT("."), WTEXT("")},   {WTEXT("  7  "), WTEXT("."), WTEXT("  7  ")},
      {WTEXT("abcba"), WTEXT("ab"), WTEXT("c")},
  };
  for (const TrimRow& row : rows) {
    SCOPED_TRACE("'" + Narrow(row.text) + "' of '" + Narrow(row.set) + "'");
    CString text(row.text);
    Trim(text, row.set);
    EXPECT_EQ(Narrow(row.expected), Narrow(text));
    EXPECT_EQ(static_cast<int>(WString(row.expected).size()), text.GetLength());
    EXPECT_EQ(0, text.GetString()[text.GetLength()]);
  }
}

TEST(TrimTest, EditsOnlyItsOwnCopy) {
  CString original(WTEXT("  shared  "));
  CString copy(original);
  Trim(copy);
  EXPECT_EQ(WString(WTEXT("shared")), WString(copy.GetString()));
  EXPECT_EQ(WString(WTEXT("  shared  ")), WString(original.GetString()));
  EXPECT_EQ(1, original.GetRefCount());
}

}  // namespace
