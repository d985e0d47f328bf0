// CString: the program's one string type. A counted, NUL-terminated string of
// UTF-16 units with value semantics whose copies share one heap block until one
// of them is written (copy on write, atomic reference counts).
//
// Representation: the object is exactly one pointer, to the first unit of the
// text. Immediately before it lies a 12-byte header { count, length, capacity },
// each a signed 32-bit value; the header is followed by capacity + 1 units. A
// block of capacity n is one allocation of 2n + 14 bytes, sized exactly, with no
// reserve for growth. Empty strings refer to one shared static empty value
// (count -1) and never allocate.
//
// Lengths and capacities count UTF-16 units without the terminating NUL.
//
// Allocation failure never ends the process here: each operation reports it as
// its contract says and leaves the string valid.
#ifndef TEXT_CSTRING_H
#define TEXT_CSTRING_H

#include <stddef.h>

#include "platform/platform.h"

class CString {
 public:
  // The shared empty value.
  CString();
  // A copy of the text up to its NUL. Null gives the empty string; a pointer
  // value from 1 to 65535 is a string-table identifier (LoadFromResource). On
  // allocation failure the string is empty.
  CString(LPCWSTR text);  // NOLINT(google-explicit-constructor): value semantics
  // Shares the source's block (one atomic increment).
  CString(const CString& source);
  ~CString();

  // Shares the source's block; see the .cc for the empty-source rule.
  CString& operator=(const CString& source);
  // Copies the text (null assigns the empty text). Keeps a block the string owns
  // alone when it is large enough. On allocation failure the string is empty.
  CString& operator=(LPCWSTR text);

  // The stored length; no measuring.
  int GetLength() const;
  bool IsEmpty() const { return GetLength() == 0; }
  // The text, NUL-terminated; valid until the string is next modified,
  // assigned or destroyed.
  LPCWSTR GetString() const { return text_; }
  operator LPCWSTR() const { return text_; }  // NOLINT(google-explicit-constructor)

  // Makes the string the sole owner of a block of capacity >= minimum that keeps
  // its current text, and returns the first unit; the caller may write up to
  // capacity units and a NUL, then must call CommitBuffer before any other
  // operation on this string. Null on allocation failure, the string unchanged.
  LPWSTR ReserveBuffer(int minimum);
  // Ends a write into the reserved block: the length becomes `length`, or with -1
  // the number of units before the first NUL. `length` must not exceed the
  // capacity. If the block is shared and cannot be copied, the string is empty.
  void CommitBuffer(int length = -1);

  // The units [first, first + count) clamped to the text: a negative first or
  // count counts as 0, a range past the end stops at the end. Always a fresh
  // block (never shares this one); empty on count 0 or allocation failure.
  CString Substring(int first, int count) const;

  // Replaces the text with the printf-style formatting of the arguments
  // (wvsprintfW conventions: %s a wide text, %d a signed 32-bit integer). The
  // block is sized once from an upper estimate of the output; output beyond the
  // estimate is cut, never written past the block. The format and the text
  // arguments may point into this string's own text: they are read as they
  // were at the call (the string then moves to a fresh block instead of
  // reusing its own). False, the string unchanged, when the block cannot be
  // allocated.
  bool Format(LPCWSTR format, ...);
  bool FormatV(LPCWSTR format, va_list arguments);

  // Replaces the text with entry `id` of the executable's string table (the
  // empty text when there is none). True when the entry is non-empty.
  bool LoadFromResource(UINT id);

  // Introspection for tests and checks of the invariants.
  int GetCapacity() const;
  int GetRefCount() const;
  bool IsSharedEmpty() const;

 private:
  struct Header;
  Header* header() const;
  bool AllocateBuffer(int length);
  bool PrepareOverwrite(int length);
  void Unshare();
  void Release();
  void AssignUnits(LPCWSTR units, int length);

  LPWSTR text_;
};

// Replaces each environment reference such as %tmp% in `text` by its value
// (ExpandEnvironmentStringsW rules: names match without case, an unknown
// reference stays as it stands). Results of any length come back whole. The
// string takes the expanded text as a new value; strings that shared the old
// value keep it. True when the expansion and the copy into the string
// succeeded; false, the string unchanged, when the expansion fails or a block
// for the result (or, for results of 260 units or more, the scratch block)
// cannot be allocated.
bool ExpandEnvironment(CString& text);
// Ends the path with a backslash unless it already ends in one or is empty.
// PathAddBackslashW's limit holds: a path of 260 units or more is left alone.
void AppendBackslash(CString& path);
// Removes the last path element: C:\dir\app.exe becomes C:\dir.
void RemoveFileName(CString& path);
// The base with the element appended by PathAppendW, after double quotes that
// enclose the whole base are removed: C:\dir\ and \mivo.msi give C:\dir\mivo.msi.
// PathAppendW's limit holds: a joined path that would not fit 260 units with
// its NUL comes back empty.
CString JoinPath(LPCWSTR base, LPCWSTR element);

// Exact comparison of two texts, unit by unit. Null counts as the empty text.
bool TextEquals(LPCWSTR left, LPCWSTR right);
// Comparison in which the letters A to Z equal a to z and nothing else differs
// from exact comparison. Null counts as the empty text.
bool TextEqualsIgnoreAsciiCase(LPCWSTR left, LPCWSTR right);

// The allocator behind every string block (and the scratch block of
// ExpandEnvironment). Tests install a hook that is asked, with the number of
// bytes, before each allocation and can refuse it; null restores plain
// allocation.
typedef bool (*StringAllocationHook)(size_t bytes);
void SetStringAllocationHook(StringAllocationHook hook);

#endif  // TEXT_CSTRING_H
