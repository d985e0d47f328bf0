// A library with a global object whose constructor runs code at start-up: the
// start-up check must refuse it.
#include <stdlib.h>

namespace {

struct Registered {
  Registered();
  int value;
};

Registered::Registered() : value(rand()) {}

}  // namespace

Registered registered;
