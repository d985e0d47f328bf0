// InstallerHandle: the owner of one Windows Installer handle (database, view or
// record). Every installer handle the program opens is held in one.
//
// Contract:
// - 0 means "no handle". A default-constructed owner holds 0.
// - A non-zero handle is closed with MsiCloseHandle exactly once: when the owner
//   is destroyed, when a new value is assigned, or when its address is handed
//   out as an out-parameter (Receive / operator&). 0 is never passed to
//   MsiCloseHandle.
// - The owner is never copied. Get() lends the value to an installer call;
//   ownership stays here. Detach() gives ownership away without closing.
// - The result of MsiCloseHandle is not examined.
#ifndef MSIUTIL_INSTALLER_HANDLE_H
#define MSIUTIL_INSTALLER_HANDLE_H

#include "platform/platform.h"

namespace TarnUtil {

class InstallerHandle {
 public:
  InstallerHandle() = default;
  // Takes ownership of `handle` (0: holds nothing).
  explicit InstallerHandle(MSIHANDLE handle) : handle_(handle) {}
  InstallerHandle(const InstallerHandle&) = delete;
  InstallerHandle& operator=(const InstallerHandle&) = delete;
  ~InstallerHandle() { Close(); }

  // Closes the held handle (if any), then holds `handle`.
  InstallerHandle& operator=(MSIHANDLE handle) {
    Close();
    handle_ = handle;
    return *this;
  }

  // The held handle, lent to an installer call.
  MSIHANDLE Get() const { return handle_; }
  operator MSIHANDLE() const { return handle_; }  // NOLINT(google-explicit-constructor)

  // Out-parameter access: closes the held handle (if any), sets it to 0 and
  // returns the address of the held value, for an installer call that stores a
  // new handle there. The handle stored there is owned from then on.
  MSIHANDLE* Receive() {
    Close();
    return &handle_;
  }
  MSIHANDLE* operator&() { return Receive(); }  // NOLINT(google-runtime-operator)

  // Gives up ownership: returns the held handle and holds 0, closing nothing.
  MSIHANDLE Detach() {
    MSIHANDLE handle = handle_;
    handle_ = 0;
    return handle;
  }

 private:
  void Close() {
    if (handle_ != 0) {
      MSIHANDLE handle = handle_;
      handle_ = 0;
      MsiCloseHandle(handle);
    }
  }

  MSIHANDLE handle_ = 0;
};

}  // namespace TarnUtil

#endif  // MSIUTIL_INSTALLER_HANDLE_H
