// CString: block layout, sharing and copy on write, exact capacities, the
// formatting estimate and its cut, environment expansion, path edits and the
// outcome of every operation when a block cannot be allocated.
#include "text/cstring.h"

#include <stdint.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/support/test_support.h"
#include "text/split.h"

#ifndef _WIN32
#include "platform/host/host_control.h"
#endif

namespace {

using testing_support::Narrow;
using testing_support::SetEnv;
using testing_support::WString;

// Records every string allocation and refuses those after the first `allowed`
// (a negative `allowed` refuses none). Restores plain allocation when it ends.
class AllocationWatch {
 public:
  explicit AllocationWatch(int allowed = -1) {
    requests_.clear();
    allowed_ = allowed;
    SetStringAllocationHook(&Hook);
  }
  ~AllocationWatch() { SetStringAllocationHook(nullptr); }
  const std::vector<size_t>& requests() const { return requests_; }

 private:
  static bool Hook(size_t bytes) {
    requests_.push_back(bytes);
    return allowed_ < 0 || static_cast<int>(requests_.size()) <= allowed_;
  }
  static std::vector<size_t> requests_;
  static int allowed_;
};
std::vector<size_t> AllocationWatch::requests_;
int AllocationWatch::allowed_ = -1;

const int32_t* HeaderOf(const CString& s) {
  return reinterpret_cast<const int32_t*>(reinterpret_cast<const char*>(s.GetString()) - 12);
}

// The invariants every string keeps, whatever was done to it.
void ExpectValid(const CString& s) {
  EXPECT_EQ(0, s.GetString()[s.GetLength()]) << "NUL at index length";
  EXPECT_GE(s.GetCapacity(), s.GetLength());
  if (s.IsSharedEmpty()) {
    EXPECT_EQ(-1, s.GetRefCount());
    EXPECT_EQ(0, s.GetCapacity());
  } else {
    EXPECT_GE(s.GetRefCount(), 1);
  }
}

WString Text(const CString& s) {
  return WString(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// --- Layout ------------------------------------------------------------------

TEST(CStringLayoutTest, OnePointerBeforeWhichLiesTheHeader) {
  EXPECT_EQ(sizeof(void*), sizeof(CString));
  const int lengths[] = {1, 5, 259, 1040, 5000};
  for (int length : lengths) {
    SCOPED_TRACE(length);
    WString text(static_cast<size_t>(length), 'k');
    AllocationWatch watch;
    CString s(text.c_str());
    ASSERT_EQ(1u, watch.requests().size());
    EXPECT_EQ(static_cast<size_t>(2 * length + 14), watch.requests()[0]);
    const int32_t* header = HeaderOf(s);
    EXPECT_EQ(1, header[0]) << "count";
    EXPECT_EQ(length, header[1]) << "length";
    EXPECT_EQ(length, header[2]) << "capacity";
    EXPECT_EQ(text, Text(s));
    ExpectValid(s);
  }
}

TEST(CStringLayoutTest, EmptyStringsShareOneValueAndNeverAllocate) {
  AllocationWatch watch;
  CString plain;
  CString from_empty_text(WTEXT(""));
  CString from_null(static_cast<LPCWSTR>(nullptr));
  CString copy_of_empty(plain);
  CString assigned;
  assigned = plain;
  CString assigned_text;
  assigned_text = WTEXT("");
  CString assigned_null;
  assigned_null = static_cast<LPCWSTR>(nullptr);
  CString from_resource_id(reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(1)));
  CString substring = CString(WTEXT("")).Substring(0, 5);
  const CString* all[] = {&plain,         &from_empty_text,  &from_null,
                          &copy_of_empty, &assigned,         &assigned_text,
                          &assigned_null, &from_resource_id, &substring};
  for (size_t i = 0; i < sizeof(all) / sizeof(all[0]); ++i) {
    const CString* s = all[i];
    SCOPED_TRACE(i);
    EXPECT_TRUE(s->IsSharedEmpty());
    EXPECT_EQ(plain.GetString(), s->GetString());
    EXPECT_EQ(0, s->GetLength());
    ExpectValid(*s);
  }
  EXPECT_TRUE(watch.requests().empty());
}

// --- Sharing and copy on write ------------------------------------------------

TEST(CStringSharingTest, CopiesShareUntilReleased) {
  CString a(WTEXT("shared"));
  {
    AllocationWatch watch;
    CString b(a);
    CString c;
    c = a;
    EXPECT_EQ(a.GetString(), b.GetString());
    EXPECT_EQ(a.GetString(), c.GetString());
    EXPECT_EQ(3, a.GetRefCount());
    EXPECT_TRUE(watch.requests().empty()) << "copies allocate nothing";
  }
  EXPECT_EQ(1, a.GetRefCount());
}

TEST(CStringSharingTest, SelfAssignmentChangesNothing) {
  CString a(WTEXT("same"));
  LPCWSTR before = a.GetString();
  CString& alias = a;
  a = alias;
  EXPECT_EQ(before, a.GetString());
  EXPECT_EQ(1, a.GetRefCount());
  EXPECT_EQ(WString(WTEXT("same")), Text(a));
}

TEST(CStringSharingTest, WritingOneCopyLeavesTheOtherAlone) {
  struct Row {
    const char* name;
    std::function<void(CString&)> write;
    LPCWSTR expected;
  };
  const Row rows[] = {
      {"ReserveBuffer and CommitBuffer",
       [](CString& s) {
         LPWSTR block = s.ReserveBuffer(3);
         block[0] = 'X';
         s.CommitBuffer(-1);
       },
       WTEXT("X:\\dir\\app.exe")},
      {"Format", [](CString& s) { s.Format(WTEXT("%d"), 7); }, WTEXT("7")},
      {"AppendBackslash", [](CString& s) { AppendBackslash(s); }, WTEXT("C:\\dir\\app.exe\\")},
      {"RemoveFileName", [](CString& s) { RemoveFileName(s); }, WTEXT("C:\\dir")},
      {"assign text", [](CString& s) { s = WTEXT("new"); }, WTEXT("new")},
      {"assign empty text", [](CString& s) { s = WTEXT(""); }, WTEXT("")},
      {"Trim", [](CString& s) { Trim(s, WTEXT("C:")); }, WTEXT("\\dir\\app.exe")},
      {"CommitBuffer alone", [](CString& s) { s.CommitBuffer(2); }, WTEXT("C:")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CString original(WTEXT("C:\\dir\\app.exe"));
    CString copy(original);
    ASSERT_EQ(2, original.GetRefCount());
    row.write(copy);
    EXPECT_EQ(WString(WTEXT("C:\\dir\\app.exe")), Text(original));
    EXPECT_EQ(1, original.GetRefCount());
    EXPECT_EQ(WString(row.expected), Text(copy));
    EXPECT_NE(original.GetString(), copy.GetString());
    ExpectValid(original);
    ExpectValid(copy);
  }
}

TEST(CStringSharingTest, CountsAreAtomic) {
  CString shared(WTEXT("threads"));
  auto work = [&shared] {
    for (int i = 0; i < 20000; ++i) {
      CString copy(shared);
      CString other;
      other = copy;
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
  EXPECT_EQ(1, shared.GetRefCount());
}

// --- Assignment and exact capacities -----------------------------------------

TEST(CStringAssignTest, KeepsAnOwnBlockThatIsLargeEnough) {
  struct Row {
    const char* name;
    LPCWSTR text;
    bool same_block;
    int capacity;
  };
  const Row rows[] = {
      {"empty text", WTEXT(""), true, 10},
      {"shorter text", WTEXT("abc"), true, 10},
      {"same length", WTEXT("0123456789"), true, 10},
      {"longer text", WTEXT("0123456789A"), false, 11},
      {"null", nullptr, true, 10},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CString s(WTEXT("abcdefghij"));
    LPCWSTR before = s.GetString();
    s = row.text;
    // A new block may reuse the freed one's address; only a kept block is
    // certain to keep it.
    if (row.same_block) {
      EXPECT_EQ(before, s.GetString());
    }
    EXPECT_EQ(row.capacity, s.GetCapacity());
    EXPECT_EQ(WString(row.text ? row.text : WTEXT("")), Text(s));
    ExpectValid(s);
  }
}

TEST(CStringAssignTest, EmptyValueIntoAnOwnBlockKeepsTheBlock) {
  CString s(WTEXT("abcdefghij"));
  CString empty;
  s = empty;
  EXPECT_FALSE(s.IsSharedEmpty());
  EXPECT_EQ(0, s.GetLength());
  EXPECT_EQ(10, s.GetCapacity());
}

TEST(CStringAssignTest, EmptyIntoASharedBlockMovesToTheEmptyValue) {
  CString a(WTEXT("shared"));
  CString b(a);
  b = WTEXT("");
  EXPECT_TRUE(b.IsSharedEmpty());
  EXPECT_EQ(1, a.GetRefCount());
  CString c(a);
  CString empty;
  c = empty;
  EXPECT_TRUE(c.IsSharedEmpty());
  EXPECT_EQ(1, a.GetRefCount());
}

TEST(CStringAssignTest, AStringIntoAnOwnBlockSharesTheSource) {
  CString target(WTEXT("old text"));
  CString source(WTEXT("new"));
  target = source;
  EXPECT_EQ(source.GetString(), target.GetString());
  EXPECT_EQ(2, source.GetRefCount());
}

TEST(CStringAssignTest, TextFromInsideItsOwnBlock) {
  CString s(WTEXT("0123456789"));
  s = s.GetString() + 4;
  EXPECT_EQ(WString(WTEXT("456789")), Text(s));
  ExpectValid(s);
}

// --- Substring ----------------------------------------------------------------

TEST(CStringSubstringTest, ClampsToTheText) {
  struct Row {
    int first;
    int count;
    LPCWSTR expected;
  };
  const Row rows[] = {
      {0, 2, WTEXT("ab")},
      {-3, 2, WTEXT("ab")},
      {2, 3, WTEXT("cde")},
      {4, 100, WTEXT("ef")},
      {0, 6, WTEXT("abcdef")},
      {6, 1, WTEXT("")},
      {7, 1, WTEXT("")},
      {2, 0, WTEXT("")},
      {2, -1, WTEXT("")},
      {-5, -5, WTEXT("")},
      {1, 2147483647, WTEXT("bcdef")},
  };
  CString source(WTEXT("abcdef"));
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.first) + "," + std::to_string(row.count));
    CString part = source.Substring(row.first, row.count);
    EXPECT_EQ(WString(row.expected), Text(part));
    EXPECT_EQ(part.GetLength() == 0, part.IsSharedEmpty());
    if (!part.IsEmpty()) {
      EXPECT_EQ(1, part.GetRefCount()) << "a fresh block";
      EXPECT_EQ(part.GetLength(), part.GetCapacity());
    }
    ExpectValid(part);
  }
  EXPECT_EQ(1, source.GetRefCount());
}

// --- ReserveBuffer and CommitBuffer --------------------------------------------

TEST(CStringBufferTest, ReserveKeepsTheTextAndCommitMeasures) {
  CString s(WTEXT("hello"));
  LPCWSTR before = s.GetString();
  LPWSTR block = s.ReserveBuffer(2);
  EXPECT_EQ(before, block) << "a minimum below the length keeps the block";
  EXPECT_EQ(WString(WTEXT("hello")), WString(block));

  block = s.ReserveBuffer(20);
  EXPECT_EQ(20, s.GetCapacity());
  EXPECT_EQ(WString(WTEXT("hello")), WString(block));
  EXPECT_EQ(5, s.GetLength());
  block[0] = 'a';
  block[1] = 'b';
  block[2] = 'c';
  block[3] = 0;
  s.CommitBuffer(-1);
  EXPECT_EQ(3, s.GetLength());
  EXPECT_EQ(WString(WTEXT("abc")), Text(s));
  s.CommitBuffer(2);
  EXPECT_EQ(WString(WTEXT("ab")), Text(s));
  ExpectValid(s);
}

TEST(CStringBufferTest, ReserveOnEmptyGivesAnExactBlock) {
  CString s;
  LPWSTR block = s.ReserveBuffer(260);
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(260, s.GetCapacity());
  EXPECT_EQ(0, s.GetLength());
  EXPECT_EQ(0, block[0]);
  s.CommitBuffer(-1);
  EXPECT_EQ(0, s.GetLength());
  EXPECT_FALSE(s.IsSharedEmpty());
}

TEST(CStringBufferTest, CommitCutsAnUnterminatedWriteAtTheCapacity) {
  CString s;
  LPWSTR block = s.ReserveBuffer(4);
  for (int i = 0; i < 5; ++i) block[i] = 'z';  // capacity units and the NUL's unit
  s.CommitBuffer(-1);
  EXPECT_EQ(4, s.GetLength());
  ExpectValid(s);
}

// --- Format -------------------------------------------------------------------

struct FormatRow {
  const char* name;
  std::function<bool(CString&)> format;
  WString expected;
  int capacity;
};

TEST(CStringFormatTest, TextAndEstimate) {
  static const WString kLong(2000, 'L');
  const FormatRow rows[] = {
      {"d", [](CString& s) { return s.Format(WTEXT("%d"), 5); }, WTEXT("5"), 32},
      {"x=%d", [](CString& s) { return s.Format(WTEXT("x=%d"), 5); }, WTEXT("x=5"), 34},
      {"100%%", [](CString& s) { return s.Format(WTEXT("100%%")); }, WTEXT("100%"), 4},
      {"s null", [](CString& s) { return s.Format(WTEXT("%s"), static_cast<LPCWSTR>(nullptr)); },
       WTEXT("(null)"), 6},
      {"s empty", [](CString& s) { return s.Format(WTEXT("%s"), WTEXT("")); }, WTEXT(""), 1},
      {"#x", [](CString& s) { return s.Format(WTEXT("%#x"), 255u); }, WTEXT("0xff"), 34},
      {"width below 32", [](CString& s) { return s.Format(WTEXT("%5d"), 42); }, WTEXT("   42"), 32},
      {"width above 32", [](CString& s) { return s.Format(WTEXT("%40d"), 7); },
       WString(39, ' ') + WTEXT("7"), 40},
      {"width and precision", [](CString& s) { return s.Format(WTEXT("%30.10d"), 7); },
       WString(20, ' ') + WTEXT("0000000007"), 40},
      {"c", [](CString& s) { return s.Format(WTEXT("%c"), 'q'); }, WTEXT("q"), 2},
      {"c width", [](CString& s) { return s.Format(WTEXT("%-5c|"), 'q'); }, WTEXT("q    |"), 6},
      {"S narrow", [](CString& s) { return s.Format(WTEXT("%S"), "narrow"); }, WTEXT("narrow"), 6},
      {"hs narrow null",
       [](CString& s) { return s.Format(WTEXT("%hs"), static_cast<LPCSTR>(nullptr)); },
       WTEXT("(null)"), 6},
      {"ls", [](CString& s) { return s.Format(WTEXT("%ls"), WTEXT("wide")); }, WTEXT("wide"), 4},
      {"s width", [](CString& s) { return s.Format(WTEXT("[%6s]"), WTEXT("ab")); },
       WTEXT("[    ab]"), 8},
      {"I64d", [](CString& s) { return s.Format(WTEXT("%I64d|%d"), 1234567890123LL, 9); },
       WTEXT("1234567890123|9"), 65},
      {"log path",
       [](CString& s) {
         return s.Format(WTEXT("%s\\MIVO%s%sInstall.log"), WTEXT("C:\\Temp"), WTEXT("_"),
                         WTEXT("1033"));
       },
       WTEXT("C:\\Temp\\MIVO_1033Install.log"), 28},
      {"longer than wvsprintfW's limit",
       [](CString& s) { return s.Format(WTEXT("%s"), kLong.c_str()); }, kLong, 2000},
      // The estimate counts 0 for a type it does not know, but the formatter
      // writes the character: the output is cut at the block.
      {"unknown type cut", [](CString& s) { return s.Format(WTEXT("ab%y")); }, WTEXT("ab"), 2},
      {"unknown type then d", [](CString& s) { return s.Format(WTEXT("%y%d"), 7); }, WTEXT("y7"),
       32},
      // The estimate takes the precision over the width (2); the formatter fits
      // the width to the room that is left.
      {"width beyond the estimate",
       [](CString& s) { return s.Format(WTEXT("%5.2s"), WTEXT("abcdef")); }, WTEXT("ab"), 2},
  };
  for (const FormatRow& row : rows) {
    SCOPED_TRACE(row.name);
    CString s;
    EXPECT_TRUE(row.format(s));
    EXPECT_EQ(Narrow(row.expected.c_str()), Narrow(s));
    EXPECT_EQ(row.capacity, s.GetCapacity());
    ExpectValid(s);
  }
}

TEST(CStringFormatTest, EstimateOfZeroLeavesTheEmptyValue) {
  AllocationWatch watch;
  CString s;
  EXPECT_TRUE(s.Format(WTEXT("%y%y")));
  EXPECT_TRUE(s.IsSharedEmpty());
  EXPECT_TRUE(watch.requests().empty());
  CString other;
  EXPECT_EQ(0, other.GetString()[0]) << "the empty value is unchanged";
}

TEST(CStringFormatTest, ReusesAnOwnBlockThatIsLargeEnough) {
  CString s;
  s.Format(WTEXT("x=%d"), 5);
  LPCWSTR before = s.GetString();
  s.Format(WTEXT("%s"), WTEXT("short"));
  EXPECT_EQ(before, s.GetString());
  EXPECT_EQ(34, s.GetCapacity());
  EXPECT_EQ(WString(WTEXT("short")), Text(s));
}

// Format reads its format and arguments as they were when it was called, also
// when they lie in the string's own block: a block that must grow is not freed
// under the formatter, and a block large enough to be reused is not
// overwritten while the formatter still reads from it.
TEST(CStringFormatTest, FormatAndArgumentsFromItsOwnBlock) {
  struct Row {
    const char* name;
    LPCWSTR text;
    int capacity;  // of the block before Format
    std::function<bool(CString&)> format;
    LPCWSTR expected;
  };
  auto twice = [](CString& s) { return s.Format(WTEXT("%s-%s"), s.GetString(), s.GetString()); };
  auto after_literal = [](CString& s) { return s.Format(WTEXT("x%s"), s.GetString()); };
  auto as_format = [](CString& s) { return s.Format(s.GetString(), 42, WTEXT("LONG TEXT")); };
  auto both = [](CString& s) { return s.Format(s.GetString(), s.GetString()); };
  const Row rows[] = {
      {"argument twice, block grows", WTEXT("abc"), 3, twice, WTEXT("abc-abc")},
      {"argument after a literal, block grows", WTEXT("abc"), 3, after_literal, WTEXT("xabc")},
      {"format, block grows", WTEXT("%d-%s"), 5, as_format, WTEXT("42-LONG TEXT")},
      {"format and argument, block grows", WTEXT("<%s>"), 4, both, WTEXT("<<%s>>")},
      {"argument twice, block reused", WTEXT("abc"), 100, twice, WTEXT("abc-abc")},
      {"argument after a literal, block reused", WTEXT("abc"), 100, after_literal, WTEXT("xabc")},
      {"format, block reused", WTEXT("%d-%s"), 100, as_format, WTEXT("42-LONG TEXT")},
      {"format and argument, block reused", WTEXT("<%s>"), 100, both, WTEXT("<<%s>>")},
      {"inside the text, block reused", WTEXT("abcdef"), 100,
       [](CString& s) { return s.Format(WTEXT("%s%s"), WTEXT("0123"), s.GetString() + 2); },
       WTEXT("0123cdef")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CString s(row.text);
    ASSERT_NE(nullptr, s.ReserveBuffer(row.capacity));
    s.CommitBuffer(-1);
    ASSERT_EQ(row.capacity, s.GetCapacity());
    EXPECT_TRUE(row.format(s));
    EXPECT_EQ(Narrow(row.expected), Narrow(s));
    EXPECT_EQ(1, s.GetRefCount());
    ExpectValid(s);
  }
}

#ifndef _WIN32
TEST(CStringFormatTest, FloatingPointIsReportedToTheDebugger) {
  host::ResetProcessState();
  CString s(WTEXT("before"));
  EXPECT_TRUE(s.Format(WTEXT("%f|%d"), 3));
  EXPECT_EQ(WString(WTEXT(
                "Floating point (%%e, %%f, %%g, and %%G) is not supported by the CString class.")),
            host::DebugOutput());
  EXPECT_EQ(1, host::DebugBreakCount());
  host::ResetProcessState();
}
#endif

// --- ExpandEnvironment ----------------------------------------------------------

class CStringExpandTest : public ::testing::Test {
 protected:
  void SetUp() override { SetEnv(WTEXT("MIVOTEST_TMP"), WTEXT("C:\\Temp")); }
  void TearDown() override {
    SetEnv(WTEXT("MIVOTEST_TMP"), nullptr);
    SetEnv(WTEXT("MIVOTEST_LONG"), nullptr);
  }
};

TEST_F(CStringExpandTest, ReferencesAndLengths) {
  struct Row {
    const char* name;
    size_t value_length;  // of MIVOTEST_LONG
    LPCWSTR source;
  };
  const Row rows[] = {
      {"no reference", 0, WTEXT("plain text")},
      {"log template", 0, WTEXT("%mivotest_tmp%\\MIVO%s%sInstall.log")},
      {"unknown stays", 0, WTEXT("%MIVOTEST_UNSET%\\x")},
      {"250 units", 250, WTEXT("%MIVOTEST_LONG%")},
      {"300 units", 300, WTEXT("<%MIVOTEST_LONG%>")},
      {"1038 units", 1038, WTEXT("%MIVOTEST_LONG%")},
      {"over 1040 units", 3000, WTEXT("%MIVOTEST_TMP%\\%MIVOTEST_LONG%")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WString value(row.value_length, 'v');
    SetEnv(WTEXT("MIVOTEST_LONG"), row.value_length ? value.c_str() : nullptr);
    WString expected = row.source;
    auto replace = [&expected](const WString& name, const WString& with) {
      for (size_t at; (at = expected.find(name)) != WString::npos;) {
        expected.replace(at, name.size(), with);
      }
    };
    replace(WTEXT("%mivotest_tmp%"), WTEXT("C:\\Temp"));
    replace(WTEXT("%MIVOTEST_TMP%"), WTEXT("C:\\Temp"));
    if (row.value_length) replace(WTEXT("%MIVOTEST_LONG%"), value);

    CString s(row.source);
    CString before(s);
    EXPECT_TRUE(ExpandEnvironment(s));
    EXPECT_EQ(Narrow(expected.c_str()), Narrow(s));
    EXPECT_EQ(WString(row.source), Text(before)) << "a string that shared the old value keeps it";
    ExpectValid(s);
  }
}

TEST_F(CStringExpandTest, FailedCopyLeavesTheStringAndSaysSo) {
  struct Row {
    const char* name;
    size_t value_length;
    int allowed;  // allocations that succeed
  };
  const Row rows[] = {
      {"short result, string block refused", 10, 0},
      {"long result, scratch refused", 600, 0},
      {"long result, string block refused", 600, 1},
      {"over 1040, string block refused", 2000, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WString value(row.value_length, 'v');
    SetEnv(WTEXT("MIVOTEST_LONG"), value.c_str());
    CString s(WTEXT("%MIVOTEST_LONG%"));
    LPCWSTR before = s.GetString();
    {
      AllocationWatch watch(row.allowed);
      EXPECT_FALSE(ExpandEnvironment(s));
    }
    EXPECT_EQ(before, s.GetString());
    EXPECT_EQ(WString(WTEXT("%MIVOTEST_LONG%")), Text(s));
    ExpectValid(s);
  }
}

// --- Path edits ------------------------------------------------------------------

TEST(CStringPathTest, AppendBackslashAndRemoveFileName) {
  struct Row {
    const char* name;
    void (*edit)(CString&);
    LPCWSTR path;
    LPCWSTR expected;
  };
  const Row rows[] = {
      {"append", AppendBackslash, WTEXT("C:\\dir"), WTEXT("C:\\dir\\")},
      {"append, already there", AppendBackslash, WTEXT("C:\\dir\\"), WTEXT("C:\\dir\\")},
      {"append to empty", AppendBackslash, WTEXT(""), WTEXT("")},
      {"remove", RemoveFileName, WTEXT("C:\\dir\\app.exe"), WTEXT("C:\\dir")},
      {"remove at the root", RemoveFileName, WTEXT("C:\\app.exe"), WTEXT("C:\\")},
      {"remove, folder then append",
       [](CString& s) {
         RemoveFileName(s);
         AppendBackslash(s);
       },
       WTEXT("C:\\Program Files\\Setup\\setup.exe"), WTEXT("C:\\Program Files\\Setup\\")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CString s(row.path);
    row.edit(s);
    EXPECT_EQ(Narrow(row.expected), Narrow(s));
    ExpectValid(s);
  }
}

TEST(CStringPathTest, JoinPath) {
  struct Row {
    LPCWSTR base;
    LPCWSTR element;
    LPCWSTR expected;
  };
  const Row rows[] = {
      {WTEXT("C:\\dir\\"), WTEXT("\\mivo.msi"), WTEXT("C:\\dir\\mivo.msi")},
      {WTEXT("C:\\dir\\"), WTEXT("\\mivo_1033.msi"), WTEXT("C:\\dir\\mivo_1033.msi")},
      {WTEXT("C:\\dir"), WTEXT("mivo.msi"), WTEXT("C:\\dir\\mivo.msi")},
      {WTEXT("\"C:\\a b\\\""), WTEXT("\\mivo.msi"), WTEXT("C:\\a b\\mivo.msi")},
      {nullptr, WTEXT("mivo.msi"), WTEXT("mivo.msi")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.base) + " + " + Narrow(row.element));
    CString joined = JoinPath(row.base, row.element);
    EXPECT_EQ(Narrow(row.expected), Narrow(joined));
    ExpectValid(joined);
  }
}

TEST(CStringPathTest, PathsBeyondMaxPath) {
  WString folder = WTEXT("C:\\") + WString(250, 'f') + WTEXT("\\");
  CString fits = JoinPath(folder.c_str(), WTEXT("\\a.msi"));
  EXPECT_EQ(folder + WTEXT("a.msi"), Text(fits));
  CString too_long = JoinPath(folder.c_str(), WTEXT("\\mivo_1033.msi"));
  EXPECT_TRUE(too_long.IsEmpty()) << "PathAppendW empties a path that would not fit";
  ExpectValid(too_long);

  WString long_path = WTEXT("C:\\") + WString(300, 'p');
  CString path(long_path.c_str());
  AppendBackslash(path);
  EXPECT_EQ(long_path, Text(path));
}

// --- Allocation failure ------------------------------------------------------------

TEST(CStringFailureTest, EachOperationReportsAndStaysValid) {
  struct Row {
    const char* name;
    std::function<void(CString& s, CString& keeper)> operation;
    LPCWSTR expected;  // the string afterwards
  };
  const Row rows[] = {
      {"assign text", [](CString& s, CString&) { s = WTEXT("a much longer text"); }, WTEXT("")},
      {"ReserveBuffer", [](CString& s, CString&) { EXPECT_EQ(nullptr, s.ReserveBuffer(100)); },
       WTEXT("C:\\dir")},
      {"Format",
       [](CString& s, CString&) { EXPECT_FALSE(s.Format(WTEXT("%s and more"), WTEXT("text"))); },
       WTEXT("C:\\dir")},
      {"Format from its own text",
       [](CString& s, CString&) { EXPECT_FALSE(s.Format(WTEXT("%s"), s.GetString())); },
       WTEXT("C:\\dir")},
      {"AppendBackslash", [](CString& s, CString&) { AppendBackslash(s); }, WTEXT("C:\\dir")},
      {"RemoveFileName", [](CString& s, CString&) { RemoveFileName(s); }, WTEXT("C:\\dir")},
      {"CommitBuffer of a shared string",
       [](CString& s, CString& keeper) {
         keeper = s;
         s.CommitBuffer(-1);
       },
       WTEXT("")},
      {"assign text to a shared string",
       [](CString& s, CString& keeper) {
         keeper = s;
         s = WTEXT("x");
       },
       WTEXT("")},
      {"copy shares without allocating", [](CString& s, CString& keeper) { keeper = s; },
       WTEXT("C:\\dir")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CString s(WTEXT("C:\\dir"));
    CString keeper;
    {
      AllocationWatch refuse_all(0);
      row.operation(s, keeper);
    }
    EXPECT_EQ(Narrow(row.expected), Narrow(s));
    ExpectValid(s);
    if (!keeper.IsEmpty()) {
      EXPECT_EQ(WString(WTEXT("C:\\dir")), Text(keeper)) << "the other copy is untouched";
      ExpectValid(keeper);
    }
  }
}

TEST(CStringFailureTest, MadeStringsAreEmpty) {
  CString source(WTEXT("abcdef"));
  AllocationWatch refuse_all(0);
  CString constructed(WTEXT("text"));
  CString part = source.Substring(1, 3);
  CString joined = JoinPath(WTEXT("C:\\dir\\"), WTEXT("\\mivo.msi"));
  for (const CString* s : {&constructed, &part, &joined}) {
    EXPECT_TRUE(s->IsSharedEmpty());
  }
  EXPECT_FALSE(refuse_all.requests().empty());
}

// --- Resources and comparison --------------------------------------------------------

TEST(CStringResourceTest, ThereIsNoStringTable) {
  CString s(WTEXT("text"));
  EXPECT_FALSE(s.LoadFromResource(1));
  EXPECT_TRUE(s.IsEmpty());
  CString from_id(reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(65535)));
  EXPECT_TRUE(from_id.IsEmpty());
}

TEST(TextEqualsTest, ExactAndAsciiCaseInsensitive) {
  struct Row {
    LPCWSTR left;
    LPCWSTR right;
    bool exact;
    bool ignore_case;
  };
  const Row rows[] = {
      {WTEXT("abc"), WTEXT("abc"), true, true},
      {WTEXT("abc"), WTEXT("ABC"), false, true},
      {WTEXT("{A1-b2}"), WTEXT("{a1-B2}"), false, true},
      {WTEXT("abc"), WTEXT("abcd"), false, false},
      {WTEXT(""), WTEXT(""), true, true},
      {WTEXT(""), nullptr, true, true},
      {WTEXT("@"), WTEXT("`"), false, false},
      {WTEXT("["), WTEXT("{"), false, false},
      {WTEXT("\x00C4"), WTEXT("\x00E4"), false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Narrow(row.left) + " vs " + Narrow(row.right));
    EXPECT_EQ(row.exact, TextEquals(row.left, row.right));
    EXPECT_EQ(row.exact, TextEquals(row.right, row.left));
    EXPECT_EQ(row.ignore_case, TextEqualsIgnoreAsciiCase(row.left, row.right));
    EXPECT_EQ(row.ignore_case, TextEqualsIgnoreAsciiCase(row.right, row.left));
  }
}

}  // namespace
