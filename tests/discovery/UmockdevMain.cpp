// The main of every test that uses umockdev: umockdev redirects /sys, /dev and the uevent socket
// only in a process that has its preload library, so the test starts itself again with it
// (under AddressSanitizer, which would refuse a library loaded before its own).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

constexpr char kPreload[] = "libumockdev-preload.so.0";

void AppendOption(const char* aVariable, const std::string& aOption) {
  const char* now = std::getenv(aVariable);
  const std::string value = now && *now ? std::string(now) + ":" + aOption : aOption;
  ::setenv(aVariable, value.c_str(), 1);
}

}  // namespace

int main(int argc, char** argv) {
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || std::string(preload).find(kPreload) == std::string::npos) {
    if (std::getenv("CDMA_UMOCKDEV_REEXEC")) {
      std::fprintf(stderr, "the umockdev preload library did not load\n");
      return 1;
    }
    ::setenv("CDMA_UMOCKDEV_REEXEC", "1", 1);
    ::setenv("LD_PRELOAD", preload && *preload ? (std::string(kPreload) + ":" + preload).c_str() : kPreload, 1);
    AppendOption("ASAN_OPTIONS", "verify_asan_link_order=0");
    ::execv("/proc/self/exe", argv);
    std::perror("execv");
    return 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
