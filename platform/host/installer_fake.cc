// The Windows Installer service on the host: a fake with real state. It keeps
// the installed products (product code, upgrade code, version, cached package),
// installs a package by reading its identity from the package database, and
// removes a product on request. Every call is recorded through CallRecord and
// can be failed with FailCall.
//
// What it matches of the Windows behaviour:
// - Product and upgrade codes are GUID texts in braces; a malformed one is an
//   invalid parameter (INSTALLSTATE_INVALIDARG for the state query). Codes
//   compare without regard to the case of their hex letters.
// - MsiQueryProductStateW: the registered state, INSTALLSTATE_UNKNOWN for a
//   product that is not registered.
// - MsiEnumRelatedProductsW: the registered products with that upgrade code,
//   in registration order; the product code (38 units and a terminator) goes
//   to the 39-unit buffer; ERROR_NO_MORE_ITEMS after the last one. A non-zero
//   reserved value is an invalid parameter.
// - MsiGetProductInfoW: "VersionString" and "LocalPackage"; any other name is
//   ERROR_UNKNOWN_PROPERTY. The in/out count holds the buffer's capacity in
//   units, terminator included, and returns the value's length without it. A
//   buffer that cannot hold value and terminator gets ERROR_MORE_DATA and the
//   value cut to capacity - 1 units and a terminator. With no buffer, only the
//   length is returned (ERROR_SUCCESS). A buffer without a count is an invalid
//   parameter.
// - MsiEnableLogW keeps the log setting for every later installation and
//   removal: null turns logging off whatever the mode; a path with mode 0, or
//   an empty path, is an invalid parameter. The path is not looked at then.
// - MsiInstallProductW and MsiConfigureProductExW open the log as they start:
//   a path that is not full, a folder that does not exist or in which files
//   cannot be written (DenyWritesIn) is ERROR_INSTALL_LOG_FAILURE (1622), and
//   nothing else happens. The log is created (appended to, with
//   INSTALLLOGATTRIBUTES_APPEND) and gets a line for the call and its result.
// - MsiInstallProductW: a file that cannot be read is
//   ERROR_INSTALL_PACKAGE_OPEN_FAILED, a file that is no package database (or
//   has no ProductCode) is ERROR_INSTALL_PACKAGE_INVALID. A product code that
//   is installed from another package (package code) or at another version is
//   refused with ERROR_PRODUCT_VERSION; the same package runs in maintenance
//   mode, which with no feature request changes nothing, the cached package
//   included. A new product is registered with the package's ProductCode,
//   UpgradeCode, ProductVersion and package code, with a copy of the package
//   in the cache folder (or the package path itself) as its LocalPackage, and
//   the package path as its source.
// - Restarts: a package whose InstallExecuteSequence holds ScheduleReboot or
//   ForceReboot (conditions are not evaluated: the row counts) restarts the
//   machine, recorded in Restarts(), unless the property text's REBOOT (its
//   first character) is R (ReallySuppress), or S (Suppress) for
//   ScheduleReboot alone. ForceReboot answers ERROR_INSTALL_SUSPEND (1604),
//   restarted or not; ScheduleReboot answers ERROR_SUCCESS_REBOOT_INITIATED
//   (1641) when it restarted, ERROR_SUCCESS_REBOOT_REQUIRED (3010) when the
//   restart was suppressed. REBOOT=F restarts at the end of any installation.
//   The fake has no user to ask, so every UI level restarts as the silent one
//   does. A removal does the same with the actions of the package it runs
//   from, and so does a maintenance-mode run.
// - Refusals before any action runs (host controls in msi_control.h): the
//   installer's temporary files cannot be written, 1632; the policies
//   DisableMSI (2: every installation; 1: a per-user one in a process that is
//   not elevated) and DisableUserInstalls (1: every per-user one), 1625,
//   and DisableUserInstalls=1 hides every per-user product from the state,
//   related-product and product-information queries and from removal; a
//   per-machine package (ALLUSERS read from the package) installed or removed
//   by a process that is not elevated, 1603 with error 1925 (installation)
//   or 1730 (removal) in the log.
// - MsiConfigureProductExW with INSTALLSTATE_ABSENT removes a registered
//   product (and its copy in the cache folder); ERROR_UNKNOWN_PRODUCT when it
//   is not registered. The removal runs from the cached package; when that is
//   gone, from the product's source; when both are gone, nothing changes:
//   at a UI level that shows source dialogs (any but the silent one without
//   INSTALLUILEVEL_SOURCERESONLY) the dialog is shown, recorded in
//   SourceDialogs(), and cancelled as a user at logon would, answering
//   ERROR_INSTALL_USEREXIT (1602); at the silent level,
//   ERROR_INSTALL_SOURCE_ABSENT (1612).
// - Another installation holding the machine (1618) is injected with FailCall.
// The documentation page behind each behaviour and the test that drives it
// are in installer_fake.md beside this file.
// - Paths are Windows paths, mapped to host files as the host database layer
//   maps them (NativePath: drive letter dropped, backslashes as slashes).
// - MsiSetInternalUI answers the previous level; an unknown level changes
//   nothing and answers INSTALLUILEVEL_NOCHANGE.
//
// The fake reads a package with libmsi directly rather than through the host
// MsiOpenDatabaseW: the real service reads packages in its own process, so an
// installation must neither appear in the record of database calls nor count
// towards their injected faults or open handles.
#include <libmsi.h>
#include <stdio.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/msi_calls.h"
#include "platform/host/msi_control.h"
#include "platform/host/native_path.h"
#include "platform/platform.h"

#ifndef ERROR_INSTALL_SOURCE_ABSENT
#define ERROR_INSTALL_SOURCE_ABSENT 1612u
#endif
#ifndef ERROR_INSTALL_LOG_FAILURE
#define ERROR_INSTALL_LOG_FAILURE 1622u
#endif
#ifndef ERROR_INSTALL_USEREXIT
#define ERROR_INSTALL_USEREXIT 1602u
#endif
#ifndef ERROR_INSTALL_FAILURE
#define ERROR_INSTALL_FAILURE 1603u
#endif
#ifndef ERROR_INSTALL_SUSPEND
#define ERROR_INSTALL_SUSPEND 1604u
#endif
#ifndef ERROR_INSTALL_PACKAGE_REJECTED
#define ERROR_INSTALL_PACKAGE_REJECTED 1625u
#endif
#ifndef ERROR_INSTALL_TEMP_UNWRITABLE
#define ERROR_INSTALL_TEMP_UNWRITABLE 1632u
#endif
#ifndef INSTALLLOGATTRIBUTES_APPEND
#define INSTALLLOGATTRIBUTES_APPEND 1
#endif

namespace host {
namespace {

const UINT kUiLevelFlags = 0x20 | 0x40 | 0x80 | 0x100 | 0x200;

struct InstallerState {
  std::vector<FakeProduct> products;
  std::string cache_folder;
  INSTALLUILEVEL ui_level = INSTALLUILEVEL_DEFAULT;
  int cached_packages = 0;  // names the copies in the cache folder
  std::u16string log_path;  // empty: no log
  bool log_append = false;
  std::vector<std::string> restarts;
  std::vector<std::string> source_dialogs;
  bool elevated = false;
  DWORD disable_msi = 0;
  DWORD disable_user_installs = 0;
  bool temp_writable = true;
};

InstallerState& State() {
  static InstallerState state;
  return state;
}

bool IsHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with hex digits.
bool IsGuidText(LPCWSTR text) {
  if (!text) return false;
  std::u16string guid(text);
  if (guid.size() != 38 || guid.front() != u'{' || guid.back() != u'}') return false;
  for (size_t i = 1; i < 37; ++i) {
    bool dash = i == 9 || i == 14 || i == 19 || i == 24;
    if (dash ? guid[i] != u'-' : !IsHexDigit(guid[i])) return false;
  }
  return true;
}

char16_t FoldAscii(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }

bool SameCode(const std::u16string& left, const std::u16string& right) {
  if (left.size() != right.size()) return false;
  for (size_t i = 0; i < left.size(); ++i) {
    if (FoldAscii(left[i]) != FoldAscii(right[i])) return false;
  }
  return true;
}

FakeProduct* FindProduct(LPCWSTR product_code) {
  for (FakeProduct& product : State().products) {
    if (SameCode(product.product_code, product_code)) return &product;
  }
  return nullptr;
}

// Whether the installer's functions see the product: DisableUserInstalls=1
// hides every per-user one.
bool Visible(const FakeProduct& product) {
  return product.per_machine || State().disable_user_installs != 1;
}

bool IsRegistered(const FakeProduct& product) {
  return product.state != INSTALLSTATE_UNKNOWN && product.state != INSTALLSTATE_ABSENT &&
         Visible(product);
}

bool FileReadable(const std::string& path) {
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return false;
  fclose(file);
  return true;
}

// Owner of one GObject reference of libmsi.
template <typename T>
class GObjectRef {
 public:
  explicit GObjectRef(T* object) : object_(object) {}
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
  ~GObjectRef() {
    if (object_) g_object_unref(object_);
  }
  T* get() const { return object_; }

 private:
  T* object_;
};

// The Value of one row of the Property table; empty when there is none.
std::u16string ReadPackageProperty(LibmsiDatabase* database, const char* name) {
  std::string sql = std::string("SELECT `Value` FROM `Property` WHERE `Property`='") + name + "'";
  GObjectRef<LibmsiQuery> query(libmsi_query_new(database, sql.c_str(), nullptr));
  if (!query.get() || !libmsi_query_execute(query.get(), nullptr, nullptr)) return u"";
  GObjectRef<LibmsiRecord> record(libmsi_query_fetch(query.get(), nullptr));
  if (!record.get()) return u"";
  gchar* value = libmsi_record_get_string(record.get(), 1);
  std::u16string result = FromUtf8(value);
  g_free(value);
  libmsi_query_close(query.get(), nullptr);
  return result;
}

// The package code: the revision number of the summary information.
std::u16string ReadPackageCode(LibmsiDatabase* database) {
  GObjectRef<LibmsiSummaryInfo> summary(libmsi_summary_info_new(database, 0, nullptr));
  if (!summary.get()) return u"";
  const gchar* code = libmsi_summary_info_get_string(summary.get(), LIBMSI_PROPERTY_UUID, nullptr);
  return code ? FromUtf8(code) : u"";
}

// The restart actions of a package's InstallExecuteSequence.
struct RestartActions {
  bool schedule = false;  // ScheduleReboot: a restart at the end
  bool force = false;     // ForceReboot: a restart during the installation
};

RestartActions ReadRestartActions(LibmsiDatabase* database) {
  RestartActions actions;
  GObjectRef<LibmsiQuery> query(
      libmsi_query_new(database, "SELECT `Action` FROM `InstallExecuteSequence`", nullptr));
  if (!query.get() || !libmsi_query_execute(query.get(), nullptr, nullptr)) return actions;
  for (;;) {
    GObjectRef<LibmsiRecord> record(libmsi_query_fetch(query.get(), nullptr));
    if (!record.get()) break;
    gchar* action = libmsi_record_get_string(record.get(), 1);
    std::string name = action ? action : "";
    g_free(action);
    if (name == "ScheduleReboot") actions.schedule = true;
    if (name == "ForceReboot") actions.force = true;
  }
  libmsi_query_close(query.get(), nullptr);
  return actions;
}

struct PackageIdentity {
  std::u16string product_code;
  std::u16string upgrade_code;
  std::u16string version;
  std::u16string package_code;
  RestartActions restarts;
  bool per_machine = false;
};

UINT ReadPackageIdentity(const std::string& path, PackageIdentity& identity) {
  if (!FileReadable(path)) return ERROR_INSTALL_PACKAGE_OPEN_FAILED;
  GObjectRef<LibmsiDatabase> database(
      libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, nullptr));
  if (!database.get()) return ERROR_INSTALL_PACKAGE_INVALID;
  identity.product_code = ReadPackageProperty(database.get(), "ProductCode");
  identity.upgrade_code = ReadPackageProperty(database.get(), "UpgradeCode");
  identity.version = ReadPackageProperty(database.get(), "ProductVersion");
  identity.package_code = ReadPackageCode(database.get());
  identity.restarts = ReadRestartActions(database.get());
  // Per machine unless ALLUSERS is empty, or 2 with MSIINSTALLPERUSER=1; a
  // value the ALLUSERS page does not list counts as per machine.
  std::u16string all_users = ReadPackageProperty(database.get(), "ALLUSERS");
  identity.per_machine =
      !all_users.empty() &&
      !(all_users == u"2" && ReadPackageProperty(database.get(), "MSIINSTALLPERUSER") == u"1");
  if (!IsGuidText(identity.product_code.c_str())) return ERROR_INSTALL_PACKAGE_INVALID;
  return ERROR_SUCCESS;
}

// The first character of the REBOOT property in a property text of
// NAME=value pairs separated by blanks (a value may be quoted, "" standing for
// one quote); 0 when REBOOT is not set. Property names are case-sensitive.
char16_t RebootSetting(LPCWSTR properties) {
  if (!properties) return 0;
  std::u16string text(properties);
  char16_t setting = 0;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && text[i] == u' ') ++i;
    size_t name_start = i;
    while (i < text.size() && text[i] != u'=' && text[i] != u' ') ++i;
    std::u16string name = text.substr(name_start, i - name_start);
    if (i >= text.size() || text[i] != u'=') continue;
    std::u16string value;
    if (++i < text.size() && text[i] == u'"') {
      for (++i; i < text.size(); ++i) {
        if (text[i] == u'"' && i + 1 < text.size() && text[i + 1] == u'"') {
          value += u'"';
          ++i;
        } else if (text[i] == u'"') {
          ++i;
          break;
        } else {
          value += text[i];
        }
      }
    } else {
      while (i < text.size() && text[i] != u' ') value += text[i++];
    }
    if (name == u"REBOOT") setting = value.empty() ? 0 : value[0];
  }
  return setting;
}

// What a package's restart actions come to under the REBOOT setting, with
// nobody to answer a prompt. ForceReboot suspends the installation (1604),
// restarting the machine unless REBOOT=ReallySuppress; otherwise the machine
// restarts at the end (recorded; 1641) unless the restart is suppressed
// (3010); 0 when no restart is asked for.
UINT RestartOutcome(const RestartActions& actions, char16_t reboot, const std::string& what) {
  bool really_suppress = reboot == u'R';
  bool suppress_at_end = really_suppress || reboot == u'S';
  bool needed = actions.force || actions.schedule || reboot == u'F';
  bool restart =
      (actions.force && !really_suppress) || (needed && (reboot == u'F' || !suppress_at_end));
  if (restart) State().restarts.push_back(what);
  if (actions.force) return ERROR_INSTALL_SUSPEND;
  if (restart) return ERROR_SUCCESS_REBOOT_INITIATED;
  return needed ? ERROR_SUCCESS_REBOOT_REQUIRED : ERROR_SUCCESS;
}

// Whether the UI level lets the installer show its source-resolution dialog:
// any level but the silent one without INSTALLUILEVEL_SOURCERESONLY.
bool ShowsSourceDialog() {
  UINT level = static_cast<UINT>(State().ui_level);
  return (level & INSTALLUILEVEL_SOURCERESONLY) != 0 ||
         (level & ~kUiLevelFlags) != INSTALLUILEVEL_NONE;
}

// What the machine refuses before a package's actions run: the installer's
// temporary files cannot be written (1632); the policies DisableMSI and
// DisableUserInstalls (1625); a per-machine package, or the removal of a
// per-machine product, in a process that is not elevated, whose elevation
// prompt cannot be shown (1603, its log naming error 1925 or 1730). 0: none.
UINT Refusal(bool per_machine, bool removal, std::string& log_line) {
  const InstallerState& state = State();
  if (!state.temp_writable) return ERROR_INSTALL_TEMP_UNWRITABLE;
  if (!removal &&
      (state.disable_msi == 2 || (state.disable_msi == 1 && !per_machine && !state.elevated) ||
       (state.disable_user_installs == 1 && !per_machine))) {
    return ERROR_INSTALL_PACKAGE_REJECTED;
  }
  if (per_machine && !state.elevated) {
    log_line = removal ? "Error 1730. You must be an Administrator to remove this application."
                       : "Error 1925. You do not have sufficient privileges to complete this "
                         "installation for all users of the machine.";
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A full path: a drive letter, a colon and a separator, or a UNC path. A path
// from the root of the current drive is not one; host folders are named on
// drive Z:, as Wine names them.
bool IsFullPath(const std::u16string& path) {
  auto separator = [](char16_t c) { return c == u'\\' || c == u'/'; };
  bool letter = !path.empty() &&
                ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
  bool drive = path.size() >= 3 && letter && path[1] == u':' && separator(path[2]);
  bool unc = path.size() >= 2 && path[0] == u'\\' && path[1] == u'\\';
  return drive || unc;
}

// Opens the verbose log as a call starts and writes `first_line`. False when
// logging is on and the log cannot be created.
bool OpenLog(const std::string& first_line) {
  InstallerState& state = State();
  if (state.log_path.empty()) return true;
  if (!IsFullPath(state.log_path)) return false;
  std::string native = NativePath(state.log_path.c_str());
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) return false;
  std::string folder = slash == 0 ? "/" : native.substr(0, slash);
  if (!IsFolder(folder) || WritesDeniedFor(native)) return false;
  FILE* log = fopen(native.c_str(), state.log_append ? "ab" : "wb");
  if (!log) return false;
  fprintf(log, "%s\n", first_line.c_str());
  return fclose(log) == 0;
}

// The last lines of a call's log: an error message (may be empty), then its
// result.
void EndLog(UINT result, const std::string& message = std::string()) {
  InstallerState& state = State();
  if (state.log_path.empty()) return;
  FILE* log = fopen(NativePath(state.log_path.c_str()).c_str(), "ab");
  if (!log) return;
  if (!message.empty()) fprintf(log, "%s\n", message.c_str());
  fprintf(log, "result %u\n", result);
  fclose(log);
}

// The path recorded as the product's LocalPackage: a copy in the cache folder,
// or the package path when there is no cache folder. Empty when the copy fails.
std::u16string CachePackage(const std::string& host_path, LPCWSTR package_path) {
  InstallerState& state = State();
  if (state.cache_folder.empty()) return package_path;
  std::string copy = state.cache_folder + "/" + std::to_string(++state.cached_packages) + ".msi";
  FILE* in = fopen(host_path.c_str(), "rb");
  FILE* out = in ? fopen(copy.c_str(), "wb") : nullptr;
  bool copied = in && out;
  char block[8192];
  size_t n;
  while (copied && (n = fread(block, 1, sizeof block, in)) > 0) {
    copied = fwrite(block, 1, n, out) == n;
  }
  if (in) fclose(in);
  if (out && fclose(out) != 0) copied = false;
  if (!copied) {
    remove(copy.c_str());
    return u"";
  }
  return FromUtf8(copy.c_str());
}

void RemoveCachedPackage(const FakeProduct& product) {
  const std::string& folder = State().cache_folder;
  std::string path = NativePath(product.local_package.c_str());
  if (!folder.empty() && path.compare(0, folder.size() + 1, folder + "/") == 0) {
    remove(path.c_str());
  }
}

std::u16string ArgPointer(const void* pointer) { return pointer ? u"(pointer)" : u"(null)"; }

UINT Install(LPCWSTR package, LPCWSTR properties, const std::string& what, std::string& message) {
  std::string host_path = NativePath(package);
  PackageIdentity identity;
  UINT read = ReadPackageIdentity(host_path, identity);
  if (read != ERROR_SUCCESS) return read;
  UINT refused = Refusal(identity.per_machine, false, message);
  if (refused != ERROR_SUCCESS) return refused;

  FakeProduct* installed = FindProduct(identity.product_code.c_str());
  if (installed && IsRegistered(*installed)) {
    // Another package or version of an installed product is refused; the
    // same package runs in maintenance mode, which with no feature request
    // changes nothing, the cached package included.
    if (!SameCode(installed->package_code, identity.package_code) ||
        installed->version_string != identity.version) {
      return ERROR_PRODUCT_VERSION;
    }
    return RestartOutcome(identity.restarts, RebootSetting(properties), what);
  }
  std::u16string local_package = CachePackage(host_path, package);
  if (local_package.empty()) return ERROR_INSTALL_PACKAGE_OPEN_FAILED;

  FakeProduct product;
  product.product_code = identity.product_code;
  product.upgrade_code = identity.upgrade_code;
  product.version_string = identity.version;
  product.local_package = local_package;
  product.package_code = identity.package_code;
  product.source_package = package;
  product.per_machine = identity.per_machine;
  product.state = INSTALLSTATE_DEFAULT;
  if (installed) {
    *installed = product;
  } else {
    State().products.push_back(product);
  }
  return RestartOutcome(identity.restarts, RebootSetting(properties), what);
}

}  // namespace

void AddProduct(const FakeProduct& added) {
  FakeProduct product = added;
  PackageIdentity cached;
  if (product.package_code.empty() &&
      ReadPackageIdentity(NativePath(product.local_package.c_str()), cached) == ERROR_SUCCESS) {
    product.package_code = cached.package_code;
  }
  for (FakeProduct& existing : State().products) {
    if (existing.product_code == product.product_code) {
      existing = product;
      return;
    }
  }
  State().products.push_back(product);
}

void ForgetProduct(const std::u16string& product_code) {
  std::vector<FakeProduct>& products = State().products;
  for (size_t i = 0; i < products.size(); ++i) {
    if (SameCode(products[i].product_code, product_code)) {
      products.erase(products.begin() + static_cast<long>(i));
      return;
    }
  }
}

const std::vector<std::string>& Restarts() { return State().restarts; }

const std::vector<std::string>& SourceDialogs() { return State().source_dialogs; }

void SetInstallerPolicy(DWORD disable_msi, DWORD disable_user_installs) {
  State().disable_msi = disable_msi;
  State().disable_user_installs = disable_user_installs;
}

void SetProcessElevated(bool elevated) { State().elevated = elevated; }

void SetInstallerTempWritable(bool writable) { State().temp_writable = writable; }

const std::vector<FakeProduct>& Products() { return State().products; }

void SetPackageCacheFolder(const std::string& folder) { State().cache_folder = folder; }

void ResetMsi() {
  InstallerState& state = State();
  state.products.clear();
  state.cache_folder.clear();
  state.ui_level = INSTALLUILEVEL_DEFAULT;
  state.log_path.clear();
  state.log_append = false;
  state.restarts.clear();
  state.source_dialogs.clear();
  state.elevated = false;
  state.disable_msi = 0;
  state.disable_user_installs = 0;
  state.temp_writable = true;
  ResetMsiCalls();
}

}  // namespace host

using host::CallRecord;

INSTALLUILEVEL MsiSetInternalUI(INSTALLUILEVEL level, HWND* window) {
  CallRecord call("MsiSetInternalUI", {host::ArgNumber(level), host::ArgPointer(window)});
  if (call.Failed()) return static_cast<INSTALLUILEVEL>(call.Return(call.FaultCode()));
  UINT value = static_cast<UINT>(level);
  UINT base = value & ~host::kUiLevelFlags;
  if (base > INSTALLUILEVEL_FULL) return static_cast<INSTALLUILEVEL>(call.Return(0));
  INSTALLUILEVEL previous = host::State().ui_level;
  if (base != INSTALLUILEVEL_NOCHANGE) host::State().ui_level = level;
  return static_cast<INSTALLUILEVEL>(call.Return(static_cast<UINT>(previous)));
}

UINT MsiEnableLogW(DWORD mode, LPCWSTR path, DWORD attributes) {
  CallRecord call("MsiEnableLogW",
                  {host::ArgNumber(mode), host::ArgText(path), host::ArgNumber(attributes)});
  if (call.Failed()) return call.Return(call.FaultCode());
  // Null turns logging off whatever the mode; a path needs a mode.
  if (!path) {
    host::State().log_path.clear();
    return call.Return(ERROR_SUCCESS);
  }
  if (mode == 0 || !*path) return call.Return(ERROR_INVALID_PARAMETER);
  host::State().log_path = path;
  host::State().log_append = (attributes & INSTALLLOGATTRIBUTES_APPEND) != 0;
  return call.Return(ERROR_SUCCESS);
}

INSTALLSTATE MsiQueryProductStateW(LPCWSTR product) {
  CallRecord call("MsiQueryProductStateW", {host::ArgText(product)});
  if (call.Failed()) return static_cast<INSTALLSTATE>(call.Return(call.FaultCode()));
  INSTALLSTATE state = INSTALLSTATE_UNKNOWN;
  if (!host::IsGuidText(product)) {
    state = INSTALLSTATE_INVALIDARG;
  } else if (const host::FakeProduct* found = host::FindProduct(product)) {
    if (host::Visible(*found)) state = found->state;
  }
  return static_cast<INSTALLSTATE>(call.Return(static_cast<UINT>(state)));
}

UINT MsiEnumRelatedProductsW(LPCWSTR upgrade_code, DWORD reserved, DWORD index, LPWSTR product) {
  CallRecord call("MsiEnumRelatedProductsW",
                  {host::ArgText(upgrade_code), host::ArgNumber(reserved), host::ArgNumber(index)});
  if (call.Failed()) return call.Return(call.FaultCode());
  if (!host::IsGuidText(upgrade_code) || reserved != 0 || !product) {
    return call.Return(ERROR_INVALID_PARAMETER);
  }
  DWORD seen = 0;
  for (const host::FakeProduct& candidate : host::Products()) {
    if (!host::IsRegistered(candidate) || !host::SameCode(candidate.upgrade_code, upgrade_code)) {
      continue;
    }
    if (seen++ == index) {
      const std::u16string& code = candidate.product_code;
      size_t length = code.size() < 38 ? code.size() : 38;
      code.copy(product, length);
      product[length] = 0;
      return call.Return(ERROR_SUCCESS);
    }
  }
  return call.Return(ERROR_NO_MORE_ITEMS);
}

UINT MsiGetProductInfoW(LPCWSTR product, LPCWSTR property, LPWSTR buffer, DWORD* capacity) {
  CallRecord call("MsiGetProductInfoW", {host::ArgText(product), host::ArgText(property),
                                         capacity ? host::ArgNumber(*capacity) : u"(null)"});
  if (call.Failed()) return call.Return(call.FaultCode());
  if (!host::IsGuidText(product) || !property || (buffer && !capacity)) {
    return call.Return(ERROR_INVALID_PARAMETER);
  }
  const host::FakeProduct* found = host::FindProduct(product);
  if (!found || !host::IsRegistered(*found)) return call.Return(ERROR_UNKNOWN_PRODUCT);
  const std::u16string* value = nullptr;
  std::u16string name(property);
  if (name == u"VersionString") value = &found->version_string;
  if (name == u"LocalPackage") value = &found->local_package;
  if (!value) return call.Return(ERROR_UNKNOWN_PROPERTY);

  DWORD length = static_cast<DWORD>(value->size());
  if (!capacity) return call.Return(ERROR_SUCCESS);
  UINT result = ERROR_SUCCESS;
  if (buffer) {
    DWORD room = *capacity;
    if (room > 0) {
      DWORD copied = length < room ? length : room - 1;
      value->copy(buffer, copied);
      buffer[copied] = 0;
    }
    if (length >= room) result = ERROR_MORE_DATA;
  }
  *capacity = length;
  return call.Return(result);
}

UINT MsiConfigureProductExW(LPCWSTR product, int level, INSTALLSTATE state, LPCWSTR properties) {
  CallRecord call("MsiConfigureProductExW", {host::ArgText(product), host::ArgNumber(level),
                                             host::ArgNumber(state), host::ArgText(properties)});
  if (call.Failed()) return call.Return(call.FaultCode());
  if (!host::IsGuidText(product)) return call.Return(ERROR_INVALID_PARAMETER);
  std::vector<host::FakeProduct>& products = host::State().products;
  size_t i = 0;
  while (i < products.size() &&
         !(host::IsRegistered(products[i]) && host::SameCode(products[i].product_code, product))) {
    ++i;
  }
  if (i == products.size()) return call.Return(ERROR_UNKNOWN_PRODUCT);
  if (state != INSTALLSTATE_ABSENT && state != INSTALLSTATE_DEFAULT) {
    return call.Return(ERROR_INVALID_PARAMETER);
  }
  std::string what = "MsiConfigureProductExW " + host::ToUtf8(product);
  if (!host::OpenLog(what + " " + host::ToUtf8(properties))) {
    return call.Return(ERROR_INSTALL_LOG_FAILURE);
  }
  UINT result = ERROR_SUCCESS;
  std::string message;
  host::PackageIdentity package;
  if (state == INSTALLSTATE_DEFAULT) {
    // Nothing to change.
  } else if (host::ReadPackageIdentity(host::NativePath(products[i].local_package.c_str()),
                                       package) != ERROR_SUCCESS &&
             host::ReadPackageIdentity(host::NativePath(products[i].source_package.c_str()),
                                       package) != ERROR_SUCCESS) {
    // The removal runs the actions of the cached package, or of the source
    // when the cached package is gone. With neither, a level that allows it
    // shows the source dialog, which a user at logon cancels; the silent
    // level gives up at once.
    result = ERROR_INSTALL_SOURCE_ABSENT;
    if (host::ShowsSourceDialog()) {
      host::State().source_dialogs.push_back(what);
      result = ERROR_INSTALL_USEREXIT;
    }
  } else if ((result = host::Refusal(package.per_machine, true, message)) == ERROR_SUCCESS) {
    result = host::RestartOutcome(package.restarts, host::RebootSetting(properties), what);
    host::RemoveCachedPackage(products[i]);
    products.erase(products.begin() + static_cast<long>(i));
  }
  host::EndLog(result, message);
  return call.Return(result);
}

UINT MsiInstallProductW(LPCWSTR package, LPCWSTR properties) {
  CallRecord call("MsiInstallProductW", {host::ArgText(package), host::ArgText(properties)});
  if (call.Failed()) return call.Return(call.FaultCode());
  if (!package || !*package) return call.Return(ERROR_INVALID_PARAMETER);
  std::string what = "MsiInstallProductW " + host::ToUtf8(package);
  if (!host::OpenLog(what + " " + host::ToUtf8(properties))) {
    return call.Return(ERROR_INSTALL_LOG_FAILURE);
  }
  std::string message;
  UINT result = host::Install(package, properties, what, message);
  host::EndLog(result, message);
  return call.Return(result);
}
