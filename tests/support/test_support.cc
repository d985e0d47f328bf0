#include "tests/support/test_support.h"

#include <fstream>
#include <regex>
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

std::vector<std::string> RecordLines(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  std::string text = content.str();
  static const std::regex prefix(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\dZ \[\d+\] )");
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? end : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    bool crlf = !line.empty() && line.back() == '\r' && end != std::string::npos;
    if (crlf) line.pop_back();
    std::smatch match;
    if (crlf && std::regex_search(line, match, prefix)) {
      lines.push_back(match.suffix());
    } else {
      lines.push_back("!" + line);
    }
  }
  return lines;
}

}  // namespace testing_support
