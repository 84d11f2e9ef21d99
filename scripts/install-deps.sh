#!/usr/bin/env bash
# Installs the Debian packages that are missing for one purpose. Safe to run
# again; does nothing when everything is there.
#
#   bash scripts/install-deps.sh demo   what scripts/demo.sh needs: the compiler,
#                                       cmake, the viewer's libraries
#                                       and pkg-config
#   bash scripts/install-deps.sh test   (the default) the above and everything the
#                                       tests need: GoogleTest, clang and its
#                                       runtime for the sanitizer and fuzzing
#                                       builds, Google Benchmark, tmux, the
#                                       package tools and lintian
# ZOV_BENCH_TOOLS=1 adds the tools of the benchmark script.
set -euo pipefail

set_name=${1:-test}
packages=(
  cmake g++ make                         # build
  nlohmann-json3-dev libcli11-dev        # the viewer's JSON and command line
  libssl-dev libyaml-cpp-dev             # the metrics server: TLS, its web config
  libcrypt-dev pkg-config                # and its users' bcrypt hashes
)
case "$set_name" in
demo) ;;
test)
  packages+=(
    googletest libgtest-dev libgmock-dev # tests
    libbenchmark-dev                     # benchmarks
    clang libclang-rt-14-dev             # fuzzing and sanitizers with clang
    util-linux procps                    # ipcs, unshare
    tmux                                 # the viewer's live-table test on a terminal
    prometheus curl jq python3 openssl   # the exporter test with a real Prometheus server
    dpkg-dev file binutils lintian       # the package: dependencies, stripping, its check
    systemd                              # systemd-analyze verify of the service unit
  )
  ;;
*)
  echo "usage: bash scripts/install-deps.sh [demo|test]" >&2
  exit 64
  ;;
esac

# The tools that only scripts/bench.sh (system-call and instruction counts,
# plots) and scripts/coverage.sh need.
if [ "${ZOV_BENCH_TOOLS:-0}" = 1 ]; then
  packages+=(strace valgrind gnuplot-nox gcovr)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi
