// main() of the end-to-end test executables: each runs in a private host (private_host.h), so
// the daemons they start never meet one already running on this machine, nor each other.
#include <gtest/gtest.h>

#include "private_host.h"

int main(int argc, char** argv) {
  enter_private_host({NORVEL_SOURCE_DIR, NORVEL_BINARY_DIR});
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
