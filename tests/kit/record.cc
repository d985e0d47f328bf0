// Reading the run record and the package logs, and the setup's plan as the kit
// expects it.
#include <algorithm>
#include <cctype>

#include "tests/kit/kit.h"

namespace kit {

namespace {

bool Digits(const std::string& text, size_t at, size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// "YYYY-MM-DD hh:mm:ssZ [PID] MESSAGE", a real date and time, a decimal PID
// and a message that is not empty.
void ParseLine(RecordLine& line) {
  const std::string& text = line.text;
  int year, month, day, hour, minute, second;
  if (!Digits(text, 0, 4, year) || text.size() < 24 || text[4] != '-' ||
      !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day) || text[10] != ' ' ||
      !Digits(text, 11, 2, hour) || text[13] != ':' || !Digits(text, 14, 2, minute) ||
      text[16] != ':' || !Digits(text, 17, 2, second) || text.compare(19, 3, "Z [") != 0) {
    return;
  }
  size_t close = text.find(']', 22);
  if (close == std::string::npos || close == 22 || close - 22 > 10) return;
  int digit;
  unsigned long long pid = 0;
  for (size_t i = 22; i < close; ++i) {
    if (!Digits(text, i, 1, digit)) return;
    pid = pid * 10 + static_cast<unsigned>(digit);
  }
  if (pid > 0xFFFFFFFFull || close + 2 >= text.size() || text[close + 1] != ' ') return;
  SYSTEMTIME time = {};
  time.wYear = static_cast<WORD>(year);
  time.wMonth = static_cast<WORD>(month);
  time.wDay = static_cast<WORD>(day);
  time.wHour = static_cast<WORD>(hour);
  time.wMinute = static_cast<WORD>(minute);
  time.wSecond = static_cast<WORD>(second);
  FILETIME check;
  if (!SystemTimeToFileTime(&time, &check)) return;  // no such day or time
  line.time = time;
  line.pid = static_cast<DWORD>(pid);
  line.message = text.substr(close + 2);
  line.well_formed = true;
}

}  // namespace

Record ParseRecord(const std::string& bytes) {
  Record record;
  size_t position = 0;
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    record.bom = true;
    position = 3;
  }
  while (position < bytes.size()) {
    size_t end = bytes.find('\n', position);
    RecordLine line;
    if (end == std::string::npos) {
      record.crlf = false;  // the last line has no line end
      line.text = bytes.substr(position);
      position = bytes.size();
    } else {
      if (end == position || bytes[end - 1] != '\r') record.crlf = false;
      size_t length = end - position;
      if (length > 0 && bytes[end - 1] == '\r') --length;
      line.text = bytes.substr(position, length);
      position = end + 1;
    }
    if (line.text.find('\r') != std::string::npos) record.crlf = false;
    bool valid = true;
    FromUtf8(line.text, &valid);
    if (!valid) record.utf8 = false;
    ParseLine(line);
    record.lines.push_back(line);
  }
  return record;
}

std::string LogText(const std::string& bytes) {
  // UTF-16 (little-endian, with or without a byte order mark) when every odd
  // byte of the start is zero.
  bool utf16 = bytes.compare(0, 2, "\xFF\xFE") == 0;
  if (!utf16 && bytes.size() >= 8) {
    utf16 = true;
    for (size_t i = 1; i < 8; i += 2) utf16 = utf16 && bytes[i] == '\0';
  }
  if (!utf16) return bytes;
  std::string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    text += bytes[i + 1] == '\0' ? bytes[i] : '?';
  }
  return text;
}

bool LogShowsRemoval(const std::string& text) {
  // The property dump at the end of a verbose log, or the property change
  // when the command line sets it.
  return ContainsIgnoreCase(text, "REMOVE = ALL") ||
         ContainsIgnoreCase(text, "REMOVE property. Its value is 'ALL'");
}

bool LogShowsInstallation(const std::string& text) {
  return ContainsIgnoreCase(text, "InstallFiles") && !LogShowsRemoval(text);
}

const std::vector<LCID>& SupportedLanguages() {
  static const std::vector<LCID> languages = {1028, 1031, 1033, 1036, 1040, 1041,
                                              1042, 1043, 1046, 1053, 2052, 3082};
  return languages;
}

std::optional<LCID> SupportedLanguageOf(const std::wstring& text) {
  for (LCID language : SupportedLanguages()) {
    if (text == std::to_wstring(language)) return language;
  }
  return std::nullopt;
}

std::vector<LCID> ExpectedPacks(const std::wstring& command_line, LCID user) {
  std::vector<LCID> packs;
  if (auto language = SupportedLanguageOf(command_line)) packs.push_back(*language);
  auto supported = SupportedLanguages();
  if (std::find(supported.begin(), supported.end(), user) != supported.end() &&
      std::find(packs.begin(), packs.end(), user) == packs.end()) {
    packs.push_back(user);
  }
  if (packs.empty()) packs.push_back(1033);
  return packs;
}

}  // namespace kit
