#include "setup/version.h"

#include "text/cstring.h"
#include "text/list.h"
#include "text/split.h"

namespace {

// The components of a dotted version text, white space around each removed and
// empty ones dropped: "7 .. 1." gives 7 and 1.
void SplitVersion(LPCWSTR text, List<CString>& components) {
  CString source(text);  // null gives the empty text: no components
  SplitString(source, WTEXT("."), components, false, true);
}

}  // namespace

int CompareVersions(LPCWSTR left, LPCWSTR right) {
  List<CString> left_components;
  List<CString> right_components;
  SplitVersion(left, left_components);
  SplitVersion(right, right_components);

  const int common = left_components.Count() < right_components.Count() ? left_components.Count()
                                                                        : right_components.Count();
  for (int i = 0; i < common; ++i) {
    const int left_value = StrToIntW(left_components[i]);
    const int right_value = StrToIntW(right_components[i]);
    if (left_value > right_value) return 1;
    if (left_value < right_value) return -1;
  }
  if (left_components.Count() > right_components.Count()) return 1;
  if (left_components.Count() < right_components.Count()) return -1;
  return 0;
}
