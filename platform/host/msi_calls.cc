// The record of host Windows Installer calls and the table of injected faults,
// shared by the database layer and the installer-service fake.
#include "platform/host/msi_calls.h"

#include <functional>
#include <map>
#include <utility>

namespace host {
namespace {

struct CallState {
  std::vector<MsiCall> calls;
  std::map<std::string, int> counts;
  std::map<std::pair<std::string, int>, UINT> faults;
  std::map<std::pair<std::string, int>, std::function<void()>> actions;
  bool recording = true;
};

CallState& State() {
  static CallState state;
  return state;
}

}  // namespace

const std::vector<MsiCall>& MsiCalls() { return State().calls; }

std::vector<MsiCall> MsiCallsOf(const std::string& function) {
  std::vector<MsiCall> result;
  for (const MsiCall& call : State().calls) {
    if (call.function == function) result.push_back(call);
  }
  return result;
}

void SetMsiCallRecording(bool on) { State().recording = on; }

void FailCall(const std::string& function, int nth, UINT code) {
  State().faults[{function, nth}] = code;
}

void BeforeCall(const std::string& function, int nth, std::function<void()> action) {
  State().actions[{function, nth}] = std::move(action);
}

void ResetMsiCalls() {
  CallState& state = State();
  state.calls.clear();
  state.counts.clear();
  state.faults.clear();
  state.actions.clear();
}

CallRecord::CallRecord(const char* function, std::vector<std::u16string> args)
    : function_(function), args_(std::move(args)) {
  CallState& state = State();
  int nth = ++state.counts[function_];
  auto action = state.actions.find({function_, nth});
  if (action != state.actions.end()) {
    std::function<void()> run = std::move(action->second);
    state.actions.erase(action);
    run();
  }
  auto fault = state.faults.find({function_, nth});
  if (fault != state.faults.end()) {
    failed_ = true;
    fault_code_ = fault->second;
  }
}

UINT CallRecord::Return(UINT result) {
  CallState& state = State();
  if (state.recording) state.calls.push_back(MsiCall{function_, std::move(args_), result});
  return result;
}

std::u16string ArgText(LPCWSTR text) { return text ? std::u16string(text) : u"(null)"; }

std::u16string ArgNumber(long long value) {
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

}  // namespace host
