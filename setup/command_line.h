// The argument text of the process command line.
#ifndef SETUP_COMMAND_LINE_H
#define SETUP_COMMAND_LINE_H

#include "platform/platform.h"

// The part of `command_line` after the program name, as the program's entry
// receives it: the program name ends at the first unit of code 32 or below that
// stands outside double quotes (each double quote opens or closes a quoted
// part); every unit of code 32 and below after it is passed over as well, while
// trailing blanks stay. Points into `command_line`; the empty text for null.
LPCWSTR ArgumentText(LPCWSTR command_line);

#endif  // SETUP_COMMAND_LINE_H
