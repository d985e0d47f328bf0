// Internal to the host Windows Installer: how each function records its call
// and learns whether a fault was injected for it.
//
//   UINT MsiSomethingW(...) {
//     host::CallRecord call("MsiSomethingW", {host::ArgText(a), host::ArgNumber(b)});
//     if (call.Failed()) return call.Return(call.FaultCode());
//     ...
//     return call.Return(result);
//   }
#ifndef PLATFORM_HOST_MSI_CALLS_H
#define PLATFORM_HOST_MSI_CALLS_H

#include <string>
#include <vector>

#include "platform/host/msi_control.h"

namespace host {

class CallRecord {
 public:
  // Counts the call of `function` and looks up the fault table.
  CallRecord(const char* function, std::vector<std::u16string> args);
  bool Failed() const { return failed_; }
  UINT FaultCode() const { return fault_code_; }
  // Records the call with its result and hands the result back.
  UINT Return(UINT result);

 private:
  std::string function_;
  std::vector<std::u16string> args_;
  bool failed_ = false;
  UINT fault_code_ = 0;
};

// Argument texts for the record: a text as it stands ("(null)" for null), a number in decimal.
std::u16string ArgText(LPCWSTR text);
std::u16string ArgNumber(long long value);

// Forgets the calls, the call counts and the faults.
void ResetMsiCalls();

}  // namespace host

#endif  // PLATFORM_HOST_MSI_CALLS_H
