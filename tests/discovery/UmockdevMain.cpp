// The main of every test that uses umockdev: the test starts itself again under the preload
// library first.
#include <gtest/gtest.h>

#include "UmockdevPreload.h"

int main(int argc, char** argv) {
  if (!EnsureUmockdevPreload(argv)) return 1;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
