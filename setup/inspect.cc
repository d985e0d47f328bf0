#include "setup/inspect.h"

#include "msiutil/file_data.h"
#include "msiutil/installer_handle.h"
#include "msiutil/property.h"
#include "setup/version.h"

namespace {

// Buffer sizes, in characters with the terminator, of the texts the installer
// hands back: a product code, a version text, a cached package path.
const int kProductCodeBuffer = 1024;
const int kVersionBuffer = 1024;
const int kPackagePathBuffer = 260;

// Reads one product information value into `value` through a block of
// `capacity` characters. The text stays as the installer left it in the block,
// up to its first terminator. Returns the installer's result.
UINT ReadProductInfo(LPCWSTR product_code, LPCWSTR property, CString& value, int capacity) {
  LPWSTR block = value.ReserveBuffer(capacity);
  if (!block) return ERROR_NOT_ENOUGH_MEMORY;
  DWORD size = static_cast<DWORD>(capacity);
  UINT result = MsiGetProductInfoW(product_code, property, block, &size);
  value.CommitBuffer(-1);
  return result;
}

// The key file version recorded in an installed product's cached package.
bool ReadCachedKeyFileVersion(const CString& cached_package, const CString& key_file_name,
                              CString& version) {
  TarnUtil::InstallerHandle database;
  if (MsiOpenDatabaseW(cached_package, MSIDBOPEN_READONLY, database.Receive()) != ERROR_SUCCESS ||
      database.Get() == 0) {
    return false;
  }
  return TarnUtil::FindKeyFileVersion(database.Get(), key_file_name, version);
}

}  // namespace

void InspectPackage(const CString& package_path, const CString& key_file_name,
                    PackageAction& action, CString& product_code, bool& remove_first) {
  CString upgrade_code;
  CString package_version;
  CString package_key_version;
  {
    TarnUtil::InstallerHandle database;
    if (MsiOpenDatabaseW(package_path, MSIDBOPEN_READONLY, database.Receive()) != ERROR_SUCCESS ||
        database.Get() == 0) {
      return;
    }
    TarnUtil::ReadProperty(database.Get(), WTEXT("ProductCode"), product_code);
    TarnUtil::ReadProperty(database.Get(), WTEXT("UpgradeCode"), upgrade_code);
    TarnUtil::ReadProperty(database.Get(), WTEXT("ProductVersion"), package_version);
    TarnUtil::FindKeyFileVersion(database.Get(), key_file_name, package_key_version);
  }  // The package is closed before the installer is asked about the product.

  if (MsiQueryProductStateW(product_code) != INSTALLSTATE_DEFAULT) {
    action = kPackageActionInstall;
    return;
  }

  CString related_code;
  CString installed_version;
  CString cached_package;
  for (DWORD index = 0;; ++index) {
    LPWSTR block = related_code.ReserveBuffer(kProductCodeBuffer);
    if (!block) return;
    UINT result = MsiEnumRelatedProductsW(upgrade_code, 0, index, block);
    related_code.CommitBuffer(-1);
    if (result != ERROR_SUCCESS) return;

    // Related products of another product code never count.
    if (!TextEqualsIgnoreAsciiCase(related_code, product_code)) continue;

    ReadProductInfo(related_code, WTEXT("VersionString"), installed_version, kVersionBuffer);
    if (CompareVersions(installed_version, package_version) != 0) continue;

    if (ReadProductInfo(related_code, WTEXT("LocalPackage"), cached_package, kPackagePathBuffer) !=
        ERROR_SUCCESS) {
      continue;
    }
    CString installed_key_version;
    if (!ReadCachedKeyFileVersion(cached_package, key_file_name, installed_key_version)) continue;

    if (CompareVersions(installed_key_version, package_key_version) < 0) {
      remove_first = true;
    } else {
      action = kPackageActionSkip;
    }
    return;
  }
}
