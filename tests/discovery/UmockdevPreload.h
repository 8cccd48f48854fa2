// Starting a program again under umockdev's preload library, which redirects /sys, /dev and the
// uevent socket only in a process that has it (under AddressSanitizer, which would refuse a
// library loaded before its own).
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Returns only in a process that has the library; false when it could not be had.
inline bool EnsureUmockdevPreload(char** argv) {
  constexpr char kPreload[] = "libumockdev-preload.so.0";
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload && std::string(preload).find(kPreload) != std::string::npos) return true;
  if (std::getenv("CDMA_UMOCKDEV_REEXEC")) {
    std::fprintf(stderr, "the umockdev preload library did not load\n");
    return false;
  }
  ::setenv("CDMA_UMOCKDEV_REEXEC", "1", 1);
  const std::string libraries = preload && *preload ? std::string(kPreload) + ":" + preload : kPreload;
  ::setenv("LD_PRELOAD", libraries.c_str(), 1);
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = asan && *asan ? std::string(asan) + ":verify_asan_link_order=0" : "verify_asan_link_order=0";
  ::setenv("ASAN_OPTIONS", options.c_str(), 1);
  ::execv("/proc/self/exe", argv);
  std::perror("execv");
  return false;
}
