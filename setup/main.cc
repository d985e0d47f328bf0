// The process entry: hands the argument text of the command line to the run.
// The argument text is taken from the process command line by the program's own
// rule, so that it does not depend on the start-up code of the C runtime.
#include "platform/platform.h"
#include "setup/command_line.h"
#include "setup/run.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
  RunSetup(ArgumentText(GetCommandLineW()));
  return 0;
}
