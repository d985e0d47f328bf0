// Test control of the host Windows Installer: the record of calls, injected
// faults, open handles, and the installed-product state of the service fake.
// Host build only.
//
// Every host Windows Installer function, database or service, records its call
// (name, text arguments, result) and asks the fault table first: a call chosen
// with FailCall returns the chosen code without doing anything.
#ifndef PLATFORM_HOST_MSI_CONTROL_H
#define PLATFORM_HOST_MSI_CONTROL_H

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

struct MsiCall {
  std::string function;              // e.g. "MsiOpenDatabaseW"
  std::vector<std::u16string> args;  // every argument as text, in order
  UINT result = 0;                   // what the call returned (state, level or code)
};

// The calls since the last ResetMsi, in order.
const std::vector<MsiCall>& MsiCalls();
// The calls of one function, in order.
std::vector<MsiCall> MsiCallsOf(const std::string& function);
// Whether to record calls at all; on by default.
void SetMsiCallRecording(bool on);

// Call number `nth` (1-based, counted since the last ResetMsi) of `function`
// returns `code` without effect. For functions that return a handle or a
// state, `code` is the value returned.
void FailCall(const std::string& function, int nth, UINT code);

// Runs `action` just before call number `nth` of `function` does anything:
// what another process does to the machine meanwhile (removes a product,
// deletes a cached package).
void BeforeCall(const std::string& function, int nth, std::function<void()> action);

// Open database, view and record handles, and the count of MsiCloseHandle
// calls with 0 or with a handle that was not open.
int OpenHandleCount();
int BadCloseCount();

// One installed product of the service fake.
struct FakeProduct {
  std::u16string product_code;    // "{…}" as registered
  std::u16string upgrade_code;    // may be empty
  std::u16string version_string;  // "VersionString"
  std::u16string local_package;   // "LocalPackage": the cached package's path
  INSTALLSTATE state = INSTALLSTATE_DEFAULT;
  // The package code (summary information, revision number) of the package
  // that installed it; read from the cached package by AddProduct when empty.
  // Empty when unknown: no package matches it, so installing over it is
  // refused as another package.
  std::u16string package_code;
  // The path the product was installed from: the last used source, where the
  // installer looks when the cached package is gone. Empty: no source known.
  std::u16string source_package;
  // Installed per machine (ALLUSERS of its package); per user otherwise.
  bool per_machine = false;
};

// Registers (or replaces, by exact product code) an installed product.
void AddProduct(const FakeProduct& product);
// Forgets an installed product, as another process's removal of it would;
// its cached package stays where it is.
void ForgetProduct(const std::u16string& product_code);
// The installed products, in registration order.
const std::vector<FakeProduct>& Products();
// Folder into which MsiInstallProductW copies a package it installs, to serve
// as the product's cached package. Empty: the package path itself is recorded.
void SetPackageCacheFolder(const std::string& folder);

// Every restart of the machine that the service fake initiated since the last
// ResetMsi, in order: the function and its package or product. A silent run
// must never add one.
const std::vector<std::string>& Restarts();

// Every source-resolution dialog that the service fake showed since the last
// ResetMsi (each cancelled, as by a user who does not know what to browse
// for): the function and its product. A run's own decisions must never lead
// to one.
const std::vector<std::string>& SourceDialogs();

// The machine's Windows Installer policies DisableMSI and DisableUserInstalls
// (0: not set, the default).
void SetInstallerPolicy(DWORD disable_msi, DWORD disable_user_installs);
// Whether the process runs elevated (an administrator's full token); by
// default it does not, as a standard user's logon run.
void SetProcessElevated(bool elevated);
// Whether the installer can write its own temporary files; by default it can.
void SetInstallerTempWritable(bool writable);

// Forgets calls, faults, products, the log setting, restarts and dialogs,
// and restores the default policies, elevation and temporary files; closes
// nothing (open handles stay counted).
void ResetMsi();

}  // namespace host

#endif  // PLATFORM_HOST_MSI_CONTROL_H
