#!/usr/bin/env bash
# The Debian package as an operator gets it: lintian finds no error or warning;
# unpacked into a throwaway root it holds the product and not the stand-in
# broker, its programs find their libraries (the node library all but the
# broker's), its Prometheus configuration and targets pass promtool; installed
# without chroot it makes the service's user, and a purge keeps the
# administrator's drop-in. Runs inside zovsandbox. Usage: package_test.sh BUILD
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/package.XXXXXX)
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
ls "$work"/pkg/*-dbgsym_*.ddeb >/dev/null || fail "no debugging symbols package"
command -v lintian >/dev/null || fail "lintian is not installed (scripts/install-deps.sh)"
lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || fail "lintian: $(cat "$work/lintian")"

root=$work/root
dpkg -x "$deb" "$root"
files=$(cd "$root" && find . ! -type d)
for f in usr/bin/lumenaview usr/lib/lumena/libzovpnode.so usr/share/man/man1/lumenaview.1.gz \
  usr/lib/systemd/system/lumenaview-exporter.service usr/share/lumena/grafana/lumena-dashboard.json \
  usr/share/lumena/prometheus/lumena-rules.yml; do
  grep -qx "./$f" <<<"$files" || fail "not in the package: $f"
done
! grep -E 'brokerhost|libimbdfplg' <<<"$files" || fail "the stand-in broker is in the package"
conffiles=$(dpkg-deb --info "$deb" conffiles | sort)
[ "$conffiles" = "$(grep '^./etc/' <<<"$files" | cut -c2- | sort)" ] || fail "conffiles: $conffiles"

# Only the broker's library is missing, and nothing has a run path.
plugin=$root/usr/lib/lumena/libzovpnode.so
[ "$(ldd "$plugin" | grep 'not found' | awk '{ print $1 }')" = libimbdfplg.so ] ||
  fail "plug-in libraries: $(ldd "$plugin")"
! ldd "$root/usr/bin/lumenaview" | grep 'not found' || fail "lumenaview misses a library"
! readelf -d "$plugin" "$root/usr/bin/lumenaview" | grep -E 'RUNPATH|RPATH' || fail "run path"
"$root/usr/bin/lumenaview" --version | grep -q '^lumenaview [0-9]' || fail "installed --version"

# The shipped configuration as it is, then with its targets read from the package.
prom=$root/usr/share/lumena/prometheus/prometheus.yml
promtool check config "$prom" >"$work/check" 2>&1 || fail "promtool: $(cat "$work/check")"
sed "s|/etc/lumena/|$root/etc/lumena/|" "$prom" >"$root/usr/share/lumena/prometheus/local.yml"
promtool check config "$root/usr/share/lumena/prometheus/local.yml" >"$work/check" 2>&1 &&
  ! grep -q WARNING "$work/check" || fail "promtool with the targets: $(cat "$work/check")"

# Installed without chroot into a throwaway root: the user is made with a group
# of its own; a purge removes programs and conffiles and keeps the drop-in.
inst=$work/inst drop=etc/systemd/system/lumenaview-exporter.service.d/override.conf
mkdir -p "$inst/var/lib/dpkg/updates" "$inst/${drop%/*}" && touch "$inst/var/lib/dpkg/status" "$inst/$drop"
pkg() { dpkg --force-script-chrootless --force-depends --instdir="$inst" --admindir="$inst/var/lib/dpkg" --log=/dev/null "$@" >/dev/null 2>&1; }
pkg -i "$deb" && pkg --purge lumena-monitor || fail "chroot-less install and purge"
awk -F: '$1 == "lumena" && NF == 4 { gid = $3 } $1 == "lumena" && NF == 7 { ugid = $4 }
  END { exit !(gid != "" && ugid == gid) }' "$inst/etc/group" "$inst/etc/passwd" || fail "user lumena"
[ -e "$inst/$drop" ] && [ ! -e "$inst/usr/bin/lumenaview" ] && [ ! -e "$inst/etc/lumena/lumenaview.conf" ] ||
  fail "drop-in, program or conffile after purge"

# The unit as systemd reads it (no program here); the stand-in beside it for test hosts.
if command -v systemd-analyze >/dev/null; then
  out=$(systemd-analyze verify --man=no "$root/usr/lib/systemd/system/lumenaview-exporter.service" 2>&1 |
    grep -v 'is not executable' || true)
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
else echo "SKIP: systemd-analyze is not installed"; fi
DESTDIR=$work/stage cmake --install "$build" --component standin >/dev/null
! ldd "$(find "$work/stage" -name brokerhost)" | grep 'not found' || fail "installed brokerhost"
echo PASS
