// Run-time binding of the Windows Installer (Windows build only).
//
// The Msi* functions of platform/platform.h are defined in msi_binding.cc as
// forwarders into the msi.dll of the system folder, bound on their first call.
// Nothing needs to call the function below before using them.
#ifndef PLATFORM_WINDOWS_MSI_BINDING_H
#define PLATFORM_WINDOWS_MSI_BINDING_H

// Binds the Windows Installer now, unless already done (once per process; the
// library is never searched for outside the system folder), and answers whether
// every function of the seam was found. When it answers false, the functions
// that are missing fail as a call would that the installer refused.
bool BindWindowsInstaller();

#endif  // PLATFORM_WINDOWS_MSI_BINDING_H
