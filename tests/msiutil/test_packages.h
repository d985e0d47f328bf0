// The package databases built for the msiutil tests (make_test_packages.sh),
// and an owner that opens one for a test.
#ifndef TESTS_MSIUTIL_TEST_PACKAGES_H
#define TESTS_MSIUTIL_TEST_PACKAGES_H

#include <string>

#include "platform/platform.h"
#include "tests/support/test_support.h"

namespace msiutil_test {

// Persist modes of MsiOpenDatabaseW as wide texts on both builds (the SDK
// types them after the TCHAR setting).
inline LPCWSTR ReadOnly() { return nullptr; }
inline LPCWSTR Transacted() { return reinterpret_cast<LPCWSTR>(1); }

// A shipped-style package: ProductCode, UpgradeCode, ProductVersion 2.5.1, the
// key file KELD.DLL at 7.1.0.3, Long1023 and Long1024.
testing_support::WString RealPackage();
// Hand-made tables: a nullable Property `Value` (EmptyValue), Settings with the
// property Twice in two rows, and File rows full, nover, noattr, noseq, twice1,
// twice2 and big (see make_test_packages.sh).
testing_support::WString TablesPackage();
// A fresh copy of TablesPackage() for writing; returns its path.
testing_support::WString FreshScratchPackage();

// Opens a database for the duration of a test and closes it at the end.
class OpenDatabase {
 public:
  OpenDatabase(const testing_support::WString& path, LPCWSTR persist);
  ~OpenDatabase();
  OpenDatabase(const OpenDatabase&) = delete;
  OpenDatabase& operator=(const OpenDatabase&) = delete;
  MSIHANDLE Get() const { return handle_; }
  UINT OpenResult() const { return open_result_; }

 private:
  MSIHANDLE handle_ = 0;
  UINT open_result_ = 0;
};

}  // namespace msiutil_test

#endif  // TESTS_MSIUTIL_TEST_PACKAGES_H
