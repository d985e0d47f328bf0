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
                    PackageAction& action, CString& product_code, bool& remove_first,
                    RunRecord& record) {
  CString upgrade_code;
  CString package_version;
  CString package_key_version;
  {
    TarnUtil::InstallerHandle database;
    UINT opened = MsiOpenDatabaseW(package_path, MSIDBOPEN_READONLY, database.Receive());
    if (opened != ERROR_SUCCESS || database.Get() == 0) {
      record.PackageNotOpened(opened);
      record.DecisionNotOpened();
      return;
    }
    record.PackageOpened();
    TarnUtil::ReadProperty(database.Get(), WTEXT("ProductCode"), product_code);
    TarnUtil::ReadProperty(database.Get(), WTEXT("UpgradeCode"), upgrade_code);
    TarnUtil::ReadProperty(database.Get(), WTEXT("ProductVersion"), package_version);
    TarnUtil::FindKeyFileVersion(database.Get(), key_file_name, package_key_version);
  }  // The package is closed before the installer is asked about the product.
  record.ProductCode(product_code);
  record.UpgradeCode(upgrade_code);
  record.ProductVersion(package_version);
  record.PackageKeyFile(key_file_name, package_key_version);

  INSTALLSTATE state = MsiQueryProductStateW(product_code);
  record.InstalledState(state);
  if (state != INSTALLSTATE_DEFAULT) {
    action = kPackageActionInstall;
    record.DecisionNotInstalled();
    return;
  }

  // What kept the last matching related product from a decision.
  enum { kNotFound, kVersionDiffers, kCacheUnreadable } undecided = kNotFound;
  CString related_code;
  CString installed_version;
  CString cached_package;
  for (DWORD index = 0;; ++index) {
    LPWSTR block = related_code.ReserveBuffer(kProductCodeBuffer);
    if (!block) break;
    UINT result = MsiEnumRelatedProductsW(upgrade_code, 0, index, block);
    related_code.CommitBuffer(-1);
    if (result != ERROR_SUCCESS) break;

    // Related products of another product code never count.
    if (!TextEqualsIgnoreAsciiCase(related_code, product_code)) continue;

    ReadProductInfo(related_code, WTEXT("VersionString"), installed_version, kVersionBuffer);
    record.InstalledProduct(related_code, installed_version);
    if (CompareVersions(installed_version, package_version) != 0) {
      undecided = kVersionDiffers;
      continue;
    }

    UINT named =
        ReadProductInfo(related_code, WTEXT("LocalPackage"), cached_package, kPackagePathBuffer);
    if (named != ERROR_SUCCESS) {
      record.CachedPackageUnnamed(named);
      undecided = kCacheUnreadable;
      continue;
    }
    record.CachedPackage(cached_package);
    CString installed_key_version;
    if (!ReadCachedKeyFileVersion(cached_package, key_file_name, installed_key_version)) {
      record.CachedKeyFileUnreadable(key_file_name);
      undecided = kCacheUnreadable;
      continue;
    }
    record.CachedKeyFile(key_file_name, installed_key_version);

    if (CompareVersions(installed_key_version, package_key_version) < 0) {
      remove_first = true;
      record.DecisionRemoveFirst(installed_key_version, package_key_version);
    } else {
      action = kPackageActionSkip;
      record.DecisionCurrent();
    }
    return;
  }

  switch (undecided) {
    case kVersionDiffers:
      record.DecisionVersionDiffers(installed_version, package_version);
      break;
    case kCacheUnreadable:
      record.DecisionCacheUnreadable();
      break;
    default:
      record.DecisionNotRelated();
      break;
  }
}
