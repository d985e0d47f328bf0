#include "text/cstring.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

struct CString::Header {
  int32_t count;
  int32_t length;
  int32_t capacity;
};

static_assert(sizeof(int32_t) * 3 == 12, "the block header is 12 bytes");

namespace {

// The one shared empty value: a header that is never counted (count -1) and a
// single NUL unit. It lives in writable storage because operations that end by
// storing the length and the NUL may store its 0 and its NUL again.
struct SharedEmpty {
  int32_t count;
  int32_t length;
  int32_t capacity;
  WCHAR nul;
};
SharedEmpty g_shared_empty = {-1, 0, 0, 0};

StringAllocationHook g_allocation_hook = nullptr;

const int kHeaderBytes = 12;

LPWSTR SharedEmptyText() { return &g_shared_empty.nul; }

void* AllocateBytes(size_t bytes) {
  if (g_allocation_hook && !g_allocation_hook(bytes)) return nullptr;
  return malloc(bytes);
}

void CopyUnits(WCHAR* target, const WCHAR* source, int count) {
  if (count > 0) memcpy(target, source, static_cast<size_t>(count) * sizeof(WCHAR));
}

// A pointer value whose upper bits are zero names a string-table entry.
bool IsResourceId(LPCWSTR text) { return reinterpret_cast<uintptr_t>(text) <= 0xFFFF; }

int TextLength(LPCWSTR text) { return text ? lstrlenW(text) : 0; }

// Units before the first NUL, never looking past `limit` units.
int MeasureUnits(LPCWSTR text, int limit) {
  int length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

}  // namespace

void SetStringAllocationHook(StringAllocationHook hook) { g_allocation_hook = hook; }

CString::Header* CString::header() const {
  return reinterpret_cast<Header*>(reinterpret_cast<char*>(text_) - kHeaderBytes);
}

CString::CString() : text_(SharedEmptyText()) {}

CString::CString(LPCWSTR text) : text_(SharedEmptyText()) {
  if (!text) return;
  if (IsResourceId(text)) {
    LoadFromResource(static_cast<UINT>(reinterpret_cast<uintptr_t>(text)));
    return;
  }
  int length = lstrlenW(text);
  if (length == 0) return;
  if (AllocateBuffer(length)) CopyUnits(text_, text, length);
}

CString::CString(const CString& source) : text_(SharedEmptyText()) {
  Header* source_header = source.header();
  if (source_header->count >= 0) {
    text_ = source.text_;
    __atomic_add_fetch(&source_header->count, 1, __ATOMIC_RELAXED);
    return;
  }
  // Only the shared empty value is uncounted; its copy stays on it.
  int length = source_header->length;
  if (PrepareOverwrite(length) && !IsSharedEmpty()) {
    CopyUnits(text_, source.text_, length);
    header()->length = length;
    text_[length] = 0;
  }
}

CString::~CString() { Release(); }

CString& CString::operator=(const CString& source) {
  if (text_ == source.text_) return *this;
  Header* target_header = header();
  Header* source_header = source.header();
  if ((target_header->count < 0 && !IsSharedEmpty()) || source_header->count < 0) {
    int length = source_header->length;
    if (PrepareOverwrite(length) && !IsSharedEmpty()) {
      CopyUnits(text_, source.text_, length);
      header()->length = length;
      text_[length] = 0;
    }
    return *this;
  }
  Release();
  text_ = source.text_;
  __atomic_add_fetch(&source_header->count, 1, __ATOMIC_RELAXED);
  return *this;
}

CString& CString::operator=(LPCWSTR text) {
  AssignUnits(text, TextLength(text));
  return *this;
}

void CString::AssignUnits(LPCWSTR units, int length) {
  if (!PrepareOverwrite(length)) return;
  if (IsSharedEmpty()) return;
  // The source may lie inside this very block (a suffix of the old text).
  if (length > 0) memmove(text_, units, static_cast<size_t>(length) * sizeof(WCHAR));
  header()->length = length;
  text_[length] = 0;
}

int CString::GetLength() const { return header()->length; }
int CString::GetCapacity() const { return header()->capacity; }
int CString::GetRefCount() const { return header()->count; }
bool CString::IsSharedEmpty() const { return text_ == SharedEmptyText(); }

void CString::Release() {
  if (IsSharedEmpty()) return;
  Header* block = header();
  if (__atomic_sub_fetch(&block->count, 1, __ATOMIC_ACQ_REL) <= 0) free(block);
}

bool CString::AllocateBuffer(int length) {
  if (length <= 0) {
    text_ = SharedEmptyText();
    return true;
  }
  // Beyond this the byte count would not fit a 32-bit size.
  if (length > 0x3FFFFFF0) return false;
  size_t bytes = static_cast<size_t>(length) * sizeof(WCHAR) + kHeaderBytes + sizeof(WCHAR);
  Header* block = static_cast<Header*>(AllocateBytes(bytes));
  if (!block) return false;
  block->count = 1;
  block->length = length;
  block->capacity = length;
  text_ = reinterpret_cast<LPWSTR>(reinterpret_cast<char*>(block) + kHeaderBytes);
  text_[length] = 0;
  return true;
}

bool CString::PrepareOverwrite(int length) {
  Header* block = header();
  if (block->count > 1 || length > block->capacity) {
    Release();
    text_ = SharedEmptyText();
    return AllocateBuffer(length);
  }
  return true;
}

void CString::Unshare() {
  Header* block = header();
  if (block->count <= 1) return;
  LPCWSTR old_text = text_;
  int old_length = block->length;
  // Other strings still hold the block, so it survives this release.
  Release();
  text_ = SharedEmptyText();
  if (AllocateBuffer(old_length) && !IsSharedEmpty()) {
    CopyUnits(text_, old_text, old_length + 1);
  }
}

LPWSTR CString::ReserveBuffer(int minimum) {
  Header* block = header();
  if (block->count > 1 || minimum > block->capacity) {
    int old_length = block->length;
    int capacity = minimum > old_length ? minimum : old_length;
    LPWSTR old_text = text_;
    if (!AllocateBuffer(capacity)) return nullptr;
    if (!IsSharedEmpty()) {
      CopyUnits(text_, old_text, old_length + 1);
      header()->length = old_length;
    }
    if (old_text != SharedEmptyText()) {
      Header* old_block =
          reinterpret_cast<Header*>(reinterpret_cast<char*>(old_text) - kHeaderBytes);
      if (__atomic_sub_fetch(&old_block->count, 1, __ATOMIC_ACQ_REL) <= 0) free(old_block);
    }
  }
  return text_;
}

void CString::CommitBuffer(int length) {
  Unshare();
  if (IsSharedEmpty()) return;  // nothing was reserved, or the copy failed
  Header* block = header();
  if (length < 0) {
    // A writer that left no NUL inside the block is cut at the capacity.
    length = MeasureUnits(text_, block->capacity);
  } else if (length > block->capacity) {
    length = block->capacity;
  }
  block->length = length;
  text_[length] = 0;
}

CString CString::Substring(int first, int count) const {
  int length = GetLength();
  if (first < 0) first = 0;
  if (count < 0) count = 0;
  if (static_cast<int64_t>(first) + count > length) count = length - first;
  if (first > length) count = 0;
  CString result;
  if (count <= 0) return result;
  if (result.AllocateBuffer(count)) CopyUnits(result.text_, text_ + first, count);
  return result;
}

namespace {

int ReadDecimal(LPCWSTR& p) {
  int value = 0;
  while (*p >= '0' && *p <= '9') {
    if (value < 10000000) value = value * 10 + (*p - '0');
    ++p;
  }
  return value;
}

int NarrowLength(LPCSTR text) { return text ? lstrlenA(text) : 6; }

// The bytes of a string's block from its first unit to the last unit of its
// capacity (the NUL's place when the block is full).
class BlockRange {
 public:
  BlockRange(LPCWSTR text, int capacity)
      : first_(reinterpret_cast<uintptr_t>(text)),
        last_(first_ + static_cast<uintptr_t>(capacity) * sizeof(WCHAR) + sizeof(WCHAR) - 1) {}
  bool Contains(const void* pointer) const {
    uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    return address >= first_ && address <= last_;
  }

 private:
  uintptr_t first_;
  uintptr_t last_;
};

struct FormatEstimate {
  int length;
  // The format or a text argument lies in the block.
  bool reads_block;
};

// Upper estimate of the units wvsprintfW produces for `format`, reading the
// arguments the conversions take, and whether the formatter would read from
// `block`. Conversions outside the table count 0.
FormatEstimate EstimateFormattedLength(LPCWSTR format, va_list arguments, const BlockRange& block) {
  enum Prefix { kNone, kI64, kNarrow, kWide };
  int64_t total = 0;
  bool reads_block = block.Contains(format);
  LPCWSTR p = format;
  while (*p) {
    if (*p != '%') {
      ++total;
      p = CharNextW(p);
      continue;
    }
    p = CharNextW(p);
    if (*p == '%') {
      ++total;
      p = CharNextW(p);
      continue;
    }
    int64_t width = 0;
    int64_t precision = 0;
    int64_t item = 0;
    for (;; p = CharNextW(p)) {
      if (*p == '#') {
        total += 2;
      } else if (*p == '*') {
        width = va_arg(arguments, int);
      } else if (*p != '-' && *p != '+' && *p != '0' && *p != ' ') {
        break;
      }
    }
    if (width == 0) width = ReadDecimal(p);
    if (*p == '.') {
      p = CharNextW(p);
      if (*p == '*') {
        precision = va_arg(arguments, int);
        p = CharNextW(p);
      } else {
        precision = ReadDecimal(p);
      }
    }
    Prefix prefix = kNone;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      prefix = kI64;
      p += 3;
    } else if (*p == 'h') {
      prefix = kNarrow;
      p = CharNextW(p);
    } else if (*p == 'l') {
      prefix = kWide;
      p = CharNextW(p);
    } else if (*p == 'F' || *p == 'L' || *p == 'N') {
      p = CharNextW(p);
    }
    WCHAR conversion = *p;
    bool sized_by_width = false;
    switch (conversion) {
      case 'c':
      case 'C':
        if (prefix == kI64) break;
        item = 2;
        va_arg(arguments, int);
        sized_by_width = true;
        break;
      case 's':
      case 'S': {
        if (prefix == kI64) break;
        bool wide = prefix == kWide || (prefix == kNone && conversion == 's');
        if (wide) {
          LPCWSTR text = va_arg(arguments, LPCWSTR);
          item = text ? lstrlenW(text) : 6;
          if (block.Contains(text)) reads_block = true;
        } else {
          LPCSTR text = va_arg(arguments, LPCSTR);
          item = NarrowLength(text);
          if (block.Contains(text)) reads_block = true;
        }
        if (item < 1) item = 1;
        sized_by_width = true;
        break;
      }
      case 'd':
      case 'i':
      case 'o':
      case 'u':
      case 'x':
      case 'X':
        if (prefix == kI64) {
          va_arg(arguments, long long);
        } else {
          va_arg(arguments, int);
        }
        item = width + precision > 32 ? width + precision : 32;
        break;
      case 'p':
        va_arg(arguments, void*);
        item = width + precision > 32 ? width + precision : 32;
        break;
      case 'n':
        va_arg(arguments, int*);
        break;
      case 'e':
      case 'E':
      case 'f':
      case 'g':
      case 'G':
        OutputDebugStringW(WTEXT(
            "Floating point (%%e, %%f, %%g, and %%G) is not supported by the CString class."));
        DebugBreak();
        break;
      default:
        break;
    }
    if (sized_by_width) {
      if (width > item) item = width;
      if (precision != 0 && precision < item) item = precision;
    }
    if (item > 0) total += item;  // a negative "*" argument counts nothing
    if (conversion) p = CharNextW(p);
  }
  FormatEstimate estimate;
  estimate.length = total > 0x3FFFFFFF ? 0x3FFFFFFF : static_cast<int>(total);
  estimate.reads_block = reads_block;
  return estimate;
}

}  // namespace

bool CString::Format(LPCWSTR format, ...) {
  va_list arguments;
  va_start(arguments, format);
  bool result = FormatV(format, arguments);
  va_end(arguments);
  return result;
}

bool CString::FormatV(LPCWSTR format, va_list arguments) {
  if (!format) format = WTEXT("");
  va_list estimate_arguments;
  va_copy(estimate_arguments, arguments);
  FormatEstimate estimate =
      EstimateFormattedLength(format, estimate_arguments, BlockRange(text_, GetCapacity()));
  va_end(estimate_arguments);
  // A format or argument read from this string's block must outlive the
  // formatting unchanged: a second reference to the block makes ReserveBuffer
  // move the string to a fresh one and keeps the old one alive until the end.
  // Otherwise the block is reused when it is large enough.
  CString reading;
  if (estimate.reads_block) reading = *this;
  LPWSTR block = ReserveBuffer(estimate.length);
  if (!block) return false;
  // The sized formatter cuts output that exceeds the estimate (conversions the
  // estimate does not know) at the block instead of writing past it.
  int capacity = GetCapacity();
  wvnsprintfW(block, capacity + 1, format, arguments);
  // The sized formatter need not terminate output that it cut.
  block[capacity] = 0;
  CommitBuffer(-1);
  return true;
}

bool CString::LoadFromResource(UINT id) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WCHAR scratch[256];
  int n = LoadStringW(instance, id, scratch, 256);
  if (n <= 0) {
    n = 0;
    scratch[0] = 0;
  }
  if (256 - n > 1) {
    *this = scratch;
    return n > 0;
  }
  for (int size = 512;; size += 256) {
    LPWSTR block = ReserveBuffer(size - 1);
    if (!block) return false;
    n = LoadStringW(instance, id, block, size);
    if (n <= 0) {
      n = 0;
      block[0] = 0;
    }
    if (size - n > 1) break;
  }
  CommitBuffer(-1);
  return n > 0;
}

bool ExpandEnvironment(CString& text) {
  const DWORD kScratchUnits = 1040;
  WCHAR scratch[kScratchUnits];
  memset(scratch, 0, sizeof(scratch));
  DWORD size = ExpandEnvironmentStringsW(text, scratch, kScratchUnits);
  if (size == 0) return false;
  if (size < 260) {
    CString expanded(scratch);
    if (expanded.GetLength() != lstrlenW(scratch)) return false;
    text = expanded;
    return true;
  }
  // Long results are expanded again into a block of exactly the needed size,
  // so they are never cut at the scratch area.
  LPWSTR block = static_cast<LPWSTR>(AllocateBytes(static_cast<size_t>(size) * sizeof(WCHAR)));
  if (!block) return false;
  DWORD second = ExpandEnvironmentStringsW(text, block, size);
  bool ok = second != 0 && second <= size;
  if (ok) {
    block[size - 1] = 0;
    CString expanded(block);
    ok = expanded.GetLength() == lstrlenW(block);
    if (ok) text = expanded;
  }
  free(block);
  return ok;
}

void AppendBackslash(CString& path) {
  LPWSTR block = path.ReserveBuffer(path.GetLength() + 1);
  if (!block) return;
  PathAddBackslashW(block);
  path.CommitBuffer(-1);
}

void RemoveFileName(CString& path) {
  LPWSTR block = path.ReserveBuffer(path.GetLength() + 1);
  if (!block) return;
  PathRemoveFileSpecW(block);
  path.CommitBuffer(-1);
}

CString JoinPath(LPCWSTR base, LPCWSTR element) {
  CString result(base);
  LPWSTR block = result.ReserveBuffer(result.GetLength() + TextLength(element) + 2);
  if (!block) return result;
  PathUnquoteSpacesW(block);
  PathAppendW(block, element ? element : WTEXT(""));
  result.CommitBuffer(-1);
  return result;
}

bool TextEquals(LPCWSTR left, LPCWSTR right) {
  if (!left) left = WTEXT("");
  if (!right) right = WTEXT("");
  while (*left && *left == *right) {
    ++left;
    ++right;
  }
  return *left == *right;
}

bool TextEqualsIgnoreAsciiCase(LPCWSTR left, LPCWSTR right) {
  if (!left) left = WTEXT("");
  if (!right) right = WTEXT("");
  for (;; ++left, ++right) {
    WCHAR a = *left;
    WCHAR b = *right;
    if (a >= 'A' && a <= 'Z') a = static_cast<WCHAR>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<WCHAR>(b - 'A' + 'a');
    if (a != b) return false;
    if (a == 0) return true;
  }
}
