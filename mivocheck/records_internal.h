// What the parts of the record reader (records_*.cc) share and no one else
// needs.
#ifndef MIVOCHECK_RECORDS_INTERNAL_H
#define MIVOCHECK_RECORDS_INTERNAL_H

#include <string>

#include "mivocheck/records.h"

namespace mivocheck {

// Whether `text` is exactly the ASCII `words`.
inline bool Equals(const RecordText& text, const char* words) {
  size_t i = 0;
  for (; words[i]; ++i) {
    if (i == text.size() || text[i] != static_cast<WCHAR>(words[i])) return false;
  }
  return i == text.size();
}

// The outcomes that make a run count as failed.
inline bool IsFailure(Outcome outcome) {
  return outcome == Outcome::kFailed || outcome == Outcome::kGaveUp ||
         outcome == Outcome::kDidNotFinish;
}

// A name of the file system (a file as named on the command line or found in
// a folder) as outside text for the terminal: UTF-8 with the record's
// escaping (RecordTextEscaped). On the host a byte that is not UTF-8 stands
// for U+FFFD.
std::string FileNameEscaped(const std::string& utf8_or_bytes);

// A text of the record for a cell of CSV: UTF-8 as it is, but for the units
// that would break a row or move the cursor (the C0 and C1 controls, DEL,
// U+2028, U+2029), which are written as "<U+XXXX>"; an unpaired surrogate is
// U+FFFD.
std::string RecordTextCsv(const RecordText& text);

}  // namespace mivocheck

#endif  // MIVOCHECK_RECORDS_INTERNAL_H
