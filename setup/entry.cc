// The executable's process entry point, in place of the C runtime's start-up
// code. The program uses none of the start-up's services: it has no global
// constructors or destructors, no atexit handlers and no main arguments, and
// it takes its argument text from the process command line itself. Leaving the
// start-up out keeps the executable small. The C runtime DLL initialises
// itself when it is loaded, so its functions remain usable.
#include "platform/platform.h"
#include "platform/windows/msi_binding.h"
#include "setup/command_line.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR argument_text, int show);

extern "C" void MivoBootEntry() {
  // Before anything else: restrict library loading to the system folder and
  // bind the Windows Installer from there. Without it there is nothing to do,
  // and the exit code is still 0.
  if (!BindWindowsInstaller()) ExitProcess(0);
  int exit_code = wWinMain(GetModuleHandleW(nullptr), nullptr,
                           const_cast<LPWSTR>(ArgumentText(GetCommandLineW())), SW_SHOWDEFAULT);
  ExitProcess(static_cast<UINT>(exit_code));
}
