#include "tests/msiutil/test_packages.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace msiutil_test {

using testing_support::Widen;
using testing_support::WString;

WString RealPackage() { return Widen(MSIUTIL_REAL_PACKAGE); }
WString TablesPackage() { return Widen(MSIUTIL_TABLES_PACKAGE); }

WString FreshScratchPackage() {
  std::ifstream source(MSIUTIL_TABLES_PACKAGE, std::ios::binary);
  std::ofstream copy(MSIUTIL_SCRATCH_PACKAGE, std::ios::binary | std::ios::trunc);
  copy << source.rdbuf();
  EXPECT_TRUE(source.good() && copy.good()) << "copying to " << MSIUTIL_SCRATCH_PACKAGE;
  return Widen(MSIUTIL_SCRATCH_PACKAGE);
}

OpenDatabase::OpenDatabase(const WString& path, LPCWSTR persist) {
  open_result_ = MsiOpenDatabaseW(path.c_str(), persist, &handle_);
  EXPECT_EQ(open_result_, ERROR_SUCCESS) << testing_support::Narrow(path.c_str());
}

OpenDatabase::~OpenDatabase() {
  if (handle_ != 0) MsiCloseHandle(handle_);
}

}  // namespace msiutil_test
