// Ordering of dotted version texts.
#ifndef SETUP_VERSION_H
#define SETUP_VERSION_H

#include "platform/platform.h"

// Orders two dotted version texts by the numeric values of their components:
// 1 when left ranks above right, -1 when below, 0 when equal. Components are
// cut at "." with surrounding white space removed and empty ones dropped; each
// is converted with StrToIntW and compared as a signed 32-bit value. When all
// common components are equal, the text with more components ranks above. Null
// counts as the empty text, which has no components. Always 1, 0 or -1.
int CompareVersions(LPCWSTR left, LPCWSTR right);

#endif  // SETUP_VERSION_H
