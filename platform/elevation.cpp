// The parts of the rights service that are the same on every system.
#include "platform/elevation.h"

#include <cstdlib>

namespace platform {

bool TestDeniesRights() {
  const char* value = std::getenv("HARBINOR_TEST_NO_RIGHTS");
  return value && value[0];
}

}  // namespace platform
