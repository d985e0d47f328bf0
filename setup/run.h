// The installation run: the program's whole work from start to exit.
#ifndef SETUP_RUN_H
#define SETUP_RUN_H

#include "platform/platform.h"
#include "text/cstring.h"

// The whole run. It takes the lock between runs of the user's session (waiting
// for another run out of a 5-minute budget of waiting), opens the run record
// MIVOSetup.log in the temporary folder, plans the packages for
// `argument_text` (the command line without the program name; null counts as
// empty) and the executable's folder, switches the Windows Installer to silent
// operation once, and then, for each planned package in order: inspects it;
// when the inspection asks for a removal first, points the installer's verbose
// log at the entry's removal log and removes the installed product; unless the
// installed copy is current, points the log at the entry's log and installs
// the package. An entry left alone gets no log call, so the log of its last
// installation stays. A removal or installation that finds the installer busy
// with another installation (1618) is tried again after waits from the same
// budget; no other result is acted on: every package is processed whatever
// happened to the one before. When the executable's folder cannot be read or a
// package's path cannot be formed, nothing is installed. Every fact, decision
// and installer result goes to the run record. Everything the run makes is
// released before it returns.
void RunSetup(LPCWSTR argument_text);

// The executable's full path without its last component and with a trailing
// backslash. Paths of any length come back whole (the buffer grows until the
// path fits); when the path cannot be read, the result is what the path edits
// make of the empty text.
CString ExecutableFolder();

#endif  // SETUP_RUN_H
