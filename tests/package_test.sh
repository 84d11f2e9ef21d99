#!/usr/bin/env bash
# The Debian package as an operator gets it: lintian clean; unpacked, the product
# without the stand-in broker, libraries found (the node library's all but the
# broker's), promtool passes; installed, the service's user made; purged, the
# administrator's drop-in kept. Runs inside zovsandbox. Usage: package_test.sh BUILD
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/package.XXXXXX)
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB -B "$work/pkg" --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$work"/pkg/*.deb)
ls "$work"/pkg/*-dbgsym_*.ddeb >/dev/null || fail "no debugging symbols package"
lintian --fail-on error,warning "$deb" >"$work/lintian" 2>&1 || fail "lintian: $(cat "$work/lintian")"

root=$work/root
dpkg -x "$deb" "$root"
files=$(cd "$root" && find . ! -type d)
for f in usr/bin/lumenaview usr/lib/lumena/libzovpnode.so usr/share/man/man1/lumenaview.1.gz \
  usr/lib/systemd/system/lumenaview-exporter.service usr/share/lumena/grafana/lumena-dashboard.json \
  usr/share/lumena/prometheus/lumena-rules.yml usr/share/lumena/prometheus/lumena-rules.test.yml \
  usr/share/bash-completion/completions/lumenaview usr/share/doc/lumena-monitor/README.md; do
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

# The shipped configuration as it is, then with its targets read from the package.
prom=$root/usr/share/lumena/prometheus/prometheus.yml
sed "s|/etc/lumena/|$root/etc/lumena/|" "$prom" >"${prom%/*}/local.yml"
promtool check config "$prom" "${prom%/*}/local.yml" >"$work/check" 2>&1 &&
  [ "$(grep -c WARNING "$work/check")" -le 1 ] || fail "promtool: $(cat "$work/check")"

# Installed without chroot: the user has a group of its own; a purge keeps the drop-in.
inst=$work/inst drop=etc/systemd/system/lumenaview-exporter.service.d/override.conf
mkdir -p "$inst/var/lib/dpkg/updates" "$inst/${drop%/*}" && touch "$inst/var/lib/dpkg/status" "$inst/$drop"
pkg() { dpkg --force-script-chrootless --force-depends --instdir="$inst" --admindir="$inst/var/lib/dpkg" --log=/dev/null "$@" >/dev/null 2>&1; }
pkg -i "$deb" && pkg --purge lumena-monitor || fail "chroot-less install and purge"
awk -F: '$1 == "lumena" && NF == 4 { gid = $3 } $1 == "lumena" && NF == 7 { ugid = $4 }
  END { exit !(gid != "" && ugid == gid) }' "$inst/etc/group" "$inst/etc/passwd" || fail "user lumena"
[ -e "$inst/$drop" ] && [ ! -e "$inst/usr/bin/lumenaview" ] && [ ! -e "$inst/etc/lumena/lumenaview.conf" ] ||
  fail "drop-in, program or conffile after purge"

# The unit as systemd reads it (no program here); the stand-in for test hosts.
out=$(systemd-analyze verify --man=no "$root/usr/lib/systemd/system/lumenaview-exporter.service" 2>&1 |
  grep -v 'is not executable' || true)
[ -z "$out" ] || fail "systemd-analyze verify: $out"
DESTDIR=$work/stage cmake --install "$build" --component standin >/dev/null
! ldd "$(find "$work/stage" -name brokerhost)" | grep 'not found' || fail "installed brokerhost"
echo PASS
