#include "setup/command_line.h"

LPCWSTR ArgumentText(LPCWSTR command_line) {
  if (!command_line) return WTEXT("");
  LPCWSTR position = command_line;
  bool quoted = false;
  // The terminator has code 0, so both loops also stop at the end of the text.
  for (; *position > WTEXT(' ') || (quoted && *position); ++position) {
    if (*position == WTEXT('"')) quoted = !quoted;
  }
  while (*position && *position <= WTEXT(' ')) ++position;
  return position;
}
