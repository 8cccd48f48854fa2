#!/usr/bin/env bash
# Installs what is missing, builds the programs for release with Debian's hardening flags, makes
# the Debian package with CPack and prints its file's name (the only line on standard output).
# Install it with: sudo apt install ./build/package/cdma-monitor_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh >&2

# The compiler and linker flags Debian's own packages are built with (stack protector, fortified
# functions, read-only relocations, immediate binding); no debugging data, which would be stripped.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g
cflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)

build=build/package
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCDMA_BUILD_TESTS=OFF -DCDMA_BUILD_BENCH=OFF \
  -DCMAKE_C_FLAGS="$cflags" -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >&2
cmake --build "$build" -j "$(nproc)" >&2
# cpack names the file it wrote: "CPack: - package: /.../cdma-monitor_0.1.0_amd64.deb generated."
log=$(cd "$build" && cpack -G DEB)
echo "$log" >&2
deb=$(sed -nE 's/^CPack: - package: (.*\.deb) generated\.$/\1/p' <<<"$log")
[ -f "$deb" ] || { echo "package.sh: cpack named no package" >&2; exit 1; }
echo "$deb"
