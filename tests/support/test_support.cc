#include "tests/support/test_support.h"

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

}  // namespace testing_support
