// The installation run: the program's whole work from start to exit.
#ifndef SETUP_RUN_H
#define SETUP_RUN_H

#include "platform/platform.h"
#include "text/cstring.h"

// Plans the packages for `argument_text` (the command line without the program
// name; null counts as empty) and the executable's folder, switches the Windows
// Installer to silent operation once, and then, for each planned package in
// order: inspects it, points the installer's verbose log at its log file,
// removes the installed product first when the inspection asks for it, and
// installs the package unless the installed copy is current. No installer
// result is examined: every package is processed whatever happened to the one
// before. Everything the run makes is released before it returns.
void RunSetup(LPCWSTR argument_text);

// The executable's full path without its last component and with a trailing
// backslash. Paths of any length come back whole (the buffer grows until the
// path fits); when the path cannot be read, the result is what the path edits
// make of the empty text.
CString ExecutableFolder();

#endif  // SETUP_RUN_H
