#include "text/split.h"

#include <string.h>
#include <wctype.h>

namespace {

// Position of the first occurrence of `needle` in `text` at or after `start`,
// or -1.
int FindText(LPCWSTR text, int length, int start, LPCWSTR needle) {
  int needle_length = lstrlenW(needle);
  for (int i = start; i + needle_length <= length; ++i) {
    if (memcmp(text + i, needle, static_cast<size_t>(needle_length) * sizeof(WCHAR)) == 0) {
      return i;
    }
  }
  return -1;
}

bool ContainsUnit(LPCWSTR set, WCHAR unit) {
  for (; *set; ++set) {
    if (*set == unit) return true;
  }
  return false;
}

// Position of the first unit at or after `start` that is any unit of `set`, or
// -1.
int FindAnyUnit(LPCWSTR text, int length, int start, LPCWSTR set) {
  for (int i = start; i < length; ++i) {
    if (ContainsUnit(set, text[i])) return i;
  }
  return -1;
}

bool IsWhiteSpace(LPCWSTR character, LPCWSTR) { return iswspace(character[0]) != 0; }

// A character of one unit belongs to the set when the unit occurs anywhere in
// it; a longer character when the set has a character that starts with the
// same two units.
bool BelongsToSet(LPCWSTR character, LPCWSTR set) {
  LPCWSTR next = CharNextW(character);
  if (next - character <= 1) return ContainsUnit(set, character[0]);
  for (LPCWSTR p = set; *p; p = CharNextW(p)) {
    if (p[0] == character[0] && p[1] == character[1]) return true;
  }
  return false;
}

void TrimWhere(CString& text, bool (*member)(LPCWSTR, LPCWSTR), LPCWSTR set) {
  LPCWSTR start = text.GetString();
  LPCWSTR p = start;
  while (*p && member(p, set)) p = CharNextW(p);
  int removed = static_cast<int>(p - start);
  if (removed > 0) {
    // Own the block before moving the rest of the text to its start.
    int remaining = text.GetLength() - removed;
    LPWSTR block = text.ReserveBuffer(0);
    if (!block) return;
    memmove(block, block + removed, static_cast<size_t>(remaining) * sizeof(WCHAR));
    text.CommitBuffer(remaining);
  }
  if (text.IsEmpty()) return;

  start = text.GetString();
  LPCWSTR run = nullptr;
  for (p = start; *p; p = CharNextW(p)) {
    if (member(p, set)) {
      if (!run) run = p;
    } else {
      run = nullptr;
    }
  }
  if (run) {
    int kept = static_cast<int>(run - start);
    if (!text.ReserveBuffer(0)) return;
    text.CommitBuffer(kept);
  }
}

void AddToken(List<CString>& tokens, const CString& token, bool trim) {
  if (!trim) {
    tokens.Append(token);
    return;
  }
  CString trimmed(token);
  Trim(trimmed);
  if (!trimmed.IsEmpty()) tokens.Append(trimmed);
}

}  // namespace

void SplitString(const CString& source, LPCWSTR delimiter, List<CString>& tokens,
                 bool any_character, bool trim) {
  tokens.Clear();
  int length = source.GetLength();
  if (length == 0) return;
  LPCWSTR text = source.GetString();
  if (!delimiter || !*delimiter) {
    AddToken(tokens, source.Substring(0, length), trim);
    return;
  }
  // In whole-text mode the search resumes after the whole delimiter, so that
  // a delimiter of several units is never matched into the next token.
  int step = any_character ? 1 : lstrlenW(delimiter);
  int start = 0;
  for (;;) {
    int match = any_character ? FindAnyUnit(text, length, start, delimiter)
                              : FindText(text, length, start, delimiter);
    if (match < 0) {
      AddToken(tokens, source.Substring(start, length - start), trim);
      return;
    }
    AddToken(tokens, source.Substring(start, match - start), trim);
    start = match + step;
    if (start >= length) return;
  }
}

void Trim(CString& text, LPCWSTR characters) {
  if (text.IsEmpty()) return;
  if (!characters || !*characters) {
    TrimWhere(text, IsWhiteSpace, nullptr);
  } else {
    TrimWhere(text, BelongsToSet, characters);
  }
}
