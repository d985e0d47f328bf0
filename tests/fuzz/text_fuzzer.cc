// libFuzzer target over the string type: a pool of strings that share blocks is
// edited by a sequence of operations read from the input (assignment, Format
// with %s and %d, also of a text inside the pool, buffer writes, Substring,
// Trim, SplitString, the path edits, environment expansion). After every
// operation each string must hold its invariants (NUL at index length,
// capacity >= length, the empty value untouched), and no string other than the
// one operated on may have changed: a shared block is never written. Format's
// output that fits the block must be the formatter's whole output.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <wctype.h>

#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "text/cstring.h"
#include "text/list.h"
#include "text/split.h"

namespace {

const int kPool = 4;

// While allocations are refused, Trim and SplitString may stop part way (as
// the string type allows); only their validity is checked then.
bool g_refusing = false;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return position_ >= size_; }
  uint8_t Byte() { return position_ < size_ ? data_[position_++] : 0; }
  int Small(int limit) { return Byte() % limit; }
  // A short text of units drawn from a small alphabet that reaches every
  // branch: delimiters, white space, path characters, percent signs.
  std::u16string Text(int max_length) {
    static const char16_t kAlphabet[] = u"ab7.- \t\\:\"%sdy1XT";
    int length = Small(max_length + 1);
    std::u16string text;
    for (int i = 0; i < length; ++i) text += kAlphabet[Small(sizeof(kAlphabet) / 2 - 1)];
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

void Check(bool condition) {
  if (!condition) abort();
}

void CheckValid(const CString& s) {
  Check(s.GetLength() >= 0);
  Check(s.GetCapacity() >= s.GetLength());
  Check(s.GetString()[s.GetLength()] == 0);
  if (s.IsSharedEmpty()) {
    Check(s.GetRefCount() == -1 && s.GetLength() == 0 && s.GetCapacity() == 0);
  } else {
    Check(s.GetRefCount() >= 1);
  }
}

std::u16string Units(const CString& s) {
  return std::u16string(s.GetString(), static_cast<size_t>(s.GetLength()));
}

// A format whose consuming conversions alternate %s and %d (with flags, width
// and precision) so that it matches the arguments Format is given; unknown
// conversion characters take no argument.
std::u16string MakeFormat(Input& in) {
  std::u16string format;
  int consuming = 0;
  int parts = in.Small(8);
  for (int i = 0; i < parts; ++i) {
    int kind = in.Small(5);
    if (kind == 0 || consuming == 4) {
      std::u16string literal = in.Text(4);
      for (char16_t& unit : literal) {
        if (unit == u'%') unit = u'_';
      }
      format += literal;
    } else if (kind == 1) {
      format += u"%%";
    } else if (kind == 2) {
      format += u"%y";
    } else {
      format += u'%';
      if (in.Small(3) == 0) format += u'-';
      if (in.Small(3) == 0) format += u'0';
      if (in.Small(2) == 0) format += static_cast<char16_t>(u'0' + in.Small(10));
      if (in.Small(3) == 0) {
        format += u'.';
        format += static_cast<char16_t>(u'0' + in.Small(10));
      }
      format += consuming % 2 == 0 ? u's' : u'd';
      ++consuming;
    }
  }
  return format;
}

// The formatter's whole output, in a buffer larger than any pool string can
// make it.
std::u16string FormatFully(LPCWSTR format, ...) {
  static WCHAR buffer[8192];
  va_list arguments;
  va_start(arguments, format);
  wvnsprintfW(buffer, 8192, format, arguments);
  va_end(arguments);
  return buffer;
}

void CheckTokens(const CString& source, const std::u16string& delimiter, bool any, bool trim,
                 const List<CString>& tokens) {
  for (const CString& token : tokens) CheckValid(token);
  if (g_refusing) return;
  for (const CString& token : tokens) {
    if (trim) {
      Check(!token.IsEmpty());
      Check(!iswspace(token.GetString()[0]) && !iswspace(token.GetString()[token.GetLength() - 1]));
    }
  }
  if (trim || any) return;
  // Without trimming the tokens joined by the delimiter give back the source,
  // less a delimiter at the very end.
  std::u16string joined;
  for (int i = 0; i < tokens.Count(); ++i) {
    if (i) joined += delimiter;
    joined += Units(tokens[i]);
  }
  std::u16string text = Units(source);
  Check(joined == text || joined + delimiter == text);
}

void Operate(Input& in, CString* pool) {
  int target = in.Small(kPool);
  CString& s = pool[target];
  switch (in.Small(12)) {
    case 0:
      s = pool[in.Small(kPool)];
      break;
    case 1: {
      CString copy(pool[in.Small(kPool)]);
      s = copy;
      break;
    }
    case 2:
      s = in.Text(12).c_str();
      break;
    case 3: {
      std::u16string format = MakeFormat(in);
      std::u16string first = in.Text(6);
      std::u16string second = in.Text(6);
      // The first text may lie in a pool string, the target's own block
      // included: Format reads it as it was at the call.
      LPCWSTR first_argument = first.c_str();
      if (in.Small(2)) {
        const CString& source = pool[in.Small(kPool)];
        first_argument = source.GetString() + in.Small(source.GetLength() + 1);
        first = first_argument;
      }
      LPCWSTR second_argument = in.Small(2) ? second.c_str() : nullptr;
      int number = static_cast<int>(in.Byte() | (in.Byte() << 8)) - 30000;
      std::u16string full =
          FormatFully(format.c_str(), first.c_str(), number, second_argument, -number);
      bool done = s.Format(format.c_str(), first_argument, number, second_argument, -number);
      // Output that fits the block comes out whole.
      if (done && static_cast<int>(full.size()) <= s.GetCapacity()) Check(Units(s) == full);
      break;
    }
    case 4: {
      std::u16string text = in.Text(10);
      LPWSTR block = s.ReserveBuffer(in.Small(12));
      if (!block) break;
      int room = s.GetCapacity();
      int n = static_cast<int>(text.size()) < room ? static_cast<int>(text.size()) : room;
      for (int i = 0; i < n; ++i) block[i] = text[static_cast<size_t>(i)];
      block[n] = 0;
      s.CommitBuffer(in.Small(2) ? -1 : n);
      break;
    }
    case 5: {
      CString part = s.Substring(in.Small(16) - 3, in.Small(16) - 3);
      s = part;
      break;
    }
    case 6: {
      std::u16string before = Units(s);
      std::u16string set = in.Text(3);
      bool white = set.empty() || in.Small(2);
      Trim(s, white ? nullptr : set.c_str());
      Check(before.find(Units(s)) != std::u16string::npos);
      if (!s.IsEmpty() && !g_refusing) {
        char16_t first = s.GetString()[0];
        char16_t last = s.GetString()[s.GetLength() - 1];
        if (white) {
          Check(!iswspace(first) && !iswspace(last));
        } else {
          Check(set.find(first) == std::u16string::npos && set.find(last) == std::u16string::npos);
        }
      }
      break;
    }
    case 7: {
      std::u16string delimiter = in.Text(2);
      if (delimiter.empty()) delimiter = u".";
      bool any = in.Small(2);
      bool trim = in.Small(2);
      List<CString> tokens;
      tokens.Append(s);  // replaced by the split
      SplitString(s, delimiter.c_str(), tokens, any, trim);
      CheckTokens(s, delimiter, any, trim, tokens);
      break;
    }
    case 8:
      AppendBackslash(s);
      break;
    case 9:
      RemoveFileName(s);
      break;
    case 10: {
      std::u16string element = in.Text(6);
      CString joined = JoinPath(s, element.c_str());
      CheckValid(joined);
      s = joined;
      break;
    }
    case 11:
      ExpandEnvironment(s);
      break;
  }
}

bool RefuseSome(size_t bytes) { return bytes % 7 != 3; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool initialised = [] {
    host::SetEnvironmentVariable(u"T", u"C:\\Temp");
    host::SetEnvironmentVariable(u"ab", u"%T%\\x");
    return true;
  }();
  (void)initialised;
  Input in(data, size);
  // Some runs also meet refused allocations.
  g_refusing = in.Small(4) == 0;
  SetStringAllocationHook(g_refusing ? RefuseSome : nullptr);
  CString pool[kPool];
  for (int step = 0; step < 24 && !in.Empty(); ++step) {
    std::u16string before[kPool];
    for (int i = 0; i < kPool; ++i) before[i] = Units(pool[i]);
    Input probe = in;
    int target = probe.Small(kPool);
    Operate(in, pool);
    for (int i = 0; i < kPool; ++i) {
      CheckValid(pool[i]);
      if (i != target) Check(Units(pool[i]) == before[i]);
    }
    CString empty;
    Check(empty.IsSharedEmpty() && empty.GetString()[0] == 0 && empty.GetLength() == 0);
  }
  SetStringAllocationHook(nullptr);
  return 0;
}
