// Installed products of the host's installer fake, as the tests lay them out
// before a run (host build only).
#ifndef TESTS_SUPPORT_FAKE_PRODUCTS_H
#define TESTS_SUPPORT_FAKE_PRODUCTS_H

#include <string>

#include "platform/host/msi_control.h"

namespace testing_support {

// A product installed per user under `product_code`, related to
// `upgrade_code`, at `version`, whose cached package is `cached` (a path of
// the host's own file system; the package code is read from it when added).
inline host::FakeProduct InstalledProduct(const std::u16string& product_code,
                                          const std::u16string& upgrade_code,
                                          const std::u16string& version,
                                          const std::u16string& cached) {
  host::FakeProduct product;
  product.product_code = product_code;
  product.upgrade_code = upgrade_code;
  product.version_string = version;
  product.local_package = cached;
  return product;
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_FAKE_PRODUCTS_H
