#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "platform/utf8.h"

#ifndef _WIN32
#include "platform/host/host_control.h"
#endif

namespace testing_support {

void SetEnv(LPCWSTR name, LPCWSTR value) {
#ifdef _WIN32
  SetEnvironmentVariableW(name, value);
#else
  host::SetEnvironmentVariable(name, value);
#endif
}

std::string Narrow(LPCWSTR text) { return text ? utf8::FromUtf16(text) : "(null)"; }

WString Widen(const std::string& text) { return utf8::ToUtf16<WCHAR>(text.c_str()); }

namespace {

// Calls `take` with each line of the record at `path` (its number from 1, its
// bytes without the line end) and the reader's parse of it, or null when it
// does not parse; such a line fails the running test.
void ReadRecord(const std::string& path,
                const std::function<void(const std::string&, const mivocheck::RecordLine*)>& take) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  const std::string text = content.str();
  mivocheck::RecordLine parsed;
  size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    bool crlf = !line.empty() && line.back() == '\r' && end != std::string::npos;
    if (crlf) line.pop_back();
    if (crlf && mivocheck::ParseRecordLine(line, parsed)) {
      take(line, &parsed);
    } else {
      ADD_FAILURE() << path << ":" << number << ": not a line of the run record"
                    << (crlf ? "" : " (no CRLF at its end)") << ": " << line;
      take(line, nullptr);
    }
  }
}

}  // namespace

std::vector<std::string> RecordLines(const std::string& path) {
  std::vector<std::string> lines;
  ReadRecord(path, [&](const std::string& line, const mivocheck::RecordLine* parsed) {
    // A line that parses begins with "YYYY-MM-DD hh:mm:ssZ [PID] ".
    lines.push_back(parsed ? line.substr(line.find("] ") + 2) : "!" + line);
  });
  return lines;
}

std::vector<mivocheck::RecordLine> ParsedRecord(const std::string& path) {
  std::vector<mivocheck::RecordLine> lines;
  ReadRecord(path, [&](const std::string&, const mivocheck::RecordLine* parsed) {
    if (parsed) lines.push_back(*parsed);
  });
  return lines;
}

}  // namespace testing_support
