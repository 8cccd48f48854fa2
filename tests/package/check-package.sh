#!/usr/bin/env bash
# Checks the Debian package as Debian's own tools and a user would: lintian without errors, the
# AppStream data and the desktop entry valid, the dependencies resolvable on a clean Debian 12,
# every file the package must hold, one version everywhere, the programs taken out of it running,
# the manual pages rendering without warnings, and --help, the pages and the completion in step.
#
#   tests/package/check-package.sh build/package/cdma-monitor_<version>_<arch>.deb
set -euo pipefail

deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
monitor_pid=
cleanup() {
  [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
  echo "check-package: FAILED: $*" >&2
  failures=$((failures + 1))
}
step() { echo "== $*"; }

version=$(dpkg-deb -f "$deb" Version)
arch=$(dpkg-deb -f "$deb" Architecture)
[ "$(basename "$deb")" = "cdma-monitor_${version}_${arch}.deb" ] || fail "file name $(basename "$deb") is not cdma-monitor_${version}_${arch}.deb"

step "lintian"
# Errors fail the check; warnings and notes are shown for the record.
lintian_status=0
lintian --fail-on error --display-level ">=info" "$deb" >"$work/lintian.txt" 2>&1 || lintian_status=$?
grep -v '^running with root privileges' "$work/lintian.txt" || true
[ $lintian_status -eq 0 ] || fail "lintian reports errors (status $lintian_status)"

step "contents (dpkg-deb -c)"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/contents"
expected=(
  /usr/bin/cdma-monitor /usr/bin/cdma-modem-sim
  /usr/share/applications/cdma-monitor.desktop
  /usr/share/man/man1/cdma-monitor.1.gz /usr/share/man/man1/cdma-modem-sim.1.gz
  /usr/share/bash-completion/completions/cdma-monitor /usr/share/bash-completion/completions/cdma-modem-sim
  /usr/lib/systemd/system/cdma-monitor.service
  /usr/share/doc/cdma-monitor/copyright /usr/share/doc/cdma-monitor/changelog.gz
  /usr/share/doc/cdma-monitor/examples/prometheus.yml /usr/share/doc/cdma-monitor/examples/cdma-monitor-rules.yml
  /usr/share/doc/cdma-monitor/examples/server/upload.php
)
for size in 16 22 24 32 48 64 128 256; do expected+=("/usr/share/icons/hicolor/${size}x${size}/apps/cdma-monitor.png"); done
for file in "${expected[@]}"; do grep -qxF "$file" "$work/contents" || fail "the package lacks $file"; done
metainfo=$(grep -E '^/usr/share/metainfo/[^/]+\.metainfo\.xml$' "$work/contents" || true)
[ "$(wc -w <<<"$metainfo")" = 1 ] || fail "not one AppStream file in /usr/share/metainfo: $metainfo"
echo "${#expected[@]} files and $metainfo present"

dpkg-deb -x "$deb" "$work/root"
root=$work/root

step "AppStream data and desktop entry"
appstreamcli validate --no-net "$root$metainfo" || fail "appstreamcli validate"
desktop-file-validate "$root/usr/share/applications/cdma-monitor.desktop" || fail "desktop-file-validate"
id=$(sed -nE 's|.*<id>(.*)</id>.*|\1|p' "$root$metainfo")
[ "$root$metainfo" = "$root/usr/share/metainfo/$id.metainfo.xml" ] || fail "the AppStream file is not named after its id $id"
for binary in cdma-monitor cdma-modem-sim; do
  grep -q "<binary>$binary</binary>" "$root$metainfo" || fail "the AppStream data does not provide $binary"
done

step "one version: $version"
first_release=$(grep -m1 -oE '<release version="[^"]+"' "$root$metainfo" | cut -d'"' -f2)
[ "$first_release" = "$version" ] || fail "the AppStream data's newest release is $first_release"
changelog=$(zcat "$root/usr/share/doc/cdma-monitor/changelog.gz" | head -n 1)
[[ $changelog == "cdma-monitor ($version) "* ]] || fail "the changelog begins with: $changelog"
for binary in cdma-monitor cdma-modem-sim; do
  shown=$("$root/usr/bin/$binary" --version) || fail "$binary --version failed"
  [ "$shown" = "$binary $version" ] || fail "$binary --version says: $shown"
  zcat "$root/usr/share/man/man1/$binary.1.gz" | grep -q "^\.TH .*\"cdma\\\\-monitor $version\"" ||
    fail "the manual page of $binary does not carry $version"
  echo "$shown"
done

step "cdma-monitor --console --demo from the package, three cycles"
# The program's own lines as they come; three cycle lines, then SIGTERM must end it cleanly.
exec {out}< <(exec "$root/usr/bin/cdma-monitor" --console --demo </dev/null 2>"$work/monitor.err")
monitor_pid=$!
cycles=0
while [ $cycles -lt 3 ] && IFS= read -r -t 60 -u "$out" line; do
  echo "  $line"
  [[ $line == "RX: "* ]] && cycles=$((cycles + 1))
done
[ $cycles -eq 3 ] || fail "$cycles cycle lines from cdma-monitor --console --demo: $(cat "$work/monitor.err")"
kill -TERM "$monitor_pid"
status=0
wait "$monitor_pid" || status=$?
monitor_pid=
[ $status -eq 0 ] || fail "cdma-monitor ended with status $status on SIGTERM"
exec {out}<&-

step "manual pages (MANWIDTH=80 man --warnings -l)"
for binary in cdma-monitor cdma-modem-sim; do
  page=$root/usr/share/man/man1/$binary.1.gz
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" >"$work/page.txt" 2>"$work/page.err" || fail "man -l $binary"
  [ -s "$work/page.err" ] && fail "man warns on $binary(1): $(cat "$work/page.err")"
  grep -q '^OPTIONS' "$work/page.txt" || fail "$binary(1) has no OPTIONS"
  echo "$binary(1): $(wc -l <"$work/page.txt") lines, no warnings"
done

step "--help, manual pages and completion in step; the completion's offers"
for binary in cdma-monitor cdma-modem-sim; do
  "$here/options-in-step.sh" "$root/usr/bin/$binary" "$root/usr/share/man/man1/$binary.1.gz" \
    "$root/usr/share/bash-completion/completions/$binary" || fail "$binary: --help, manual page and completion differ"
  "$here/completion-test.sh" "$root/usr/bin/$binary" "$root/usr/share/bash-completion/completions/$binary" ||
    fail "$binary: the completion"
done

step "apt-get install --simulate"
apt-get install --simulate "$deb" >"$work/apt.txt" 2>&1 || fail "apt-get install --simulate on this machine: $(tail -n 5 "$work/apt.txt")"
tail -n 1 "$work/apt.txt"
# As on a clean Debian 12: nothing installed (an empty dpkg status), every dependency from the
# archive's package lists.
if ! compgen -G '/var/lib/apt/lists/*_Packages*' >/dev/null; then apt-get update -qq; fi
: >"$work/empty-status"
if apt-get install --simulate -o Dir::State::status="$work/empty-status" "$deb" >"$work/apt-clean.txt" 2>&1 &&
  grep -q '^Inst cdma-monitor ' "$work/apt-clean.txt"; then
  echo "on a clean system: $(grep -c '^Inst ' "$work/apt-clean.txt") packages to install"
else
  fail "apt-get install --simulate as on a clean system: $(tail -n 5 "$work/apt-clean.txt")"
fi

if [ $failures -ne 0 ]; then
  echo "check-package: $failures check(s) failed" >&2
  exit 1
fi
echo "check-package: $(basename "$deb") passed"
