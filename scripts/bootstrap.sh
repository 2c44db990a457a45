#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when one
# is missing, so that a fresh machine needs nothing by hand.
# Usage: scripts/bootstrap.sh [cross|bench|fuzz]
#   cross: also the 32-bit ARM toolchains and qemu-arm
#   bench: also the relays the benchmark compares against (ser2net, socat)
#          and gnuplot for its plot; never needed by the build or the tests
#   fuzz:  also clang and its runtime libraries (libFuzzer, sanitizers)
set -euo pipefail

pkgs=(g++ cmake ninja-build make clang-format libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux tshark)
if [ "${1:-}" = "cross" ]; then
    pkgs+=(googletest g++-arm-linux-gnueabihf qemu-user gcc-arm-none-eabi libstdc++-arm-none-eabi-newlib)
elif [ "${1:-}" = "bench" ]; then
    pkgs+=(ser2net socat gnuplot-nox procps)
fi
if [ "${1:-}" = "fuzz" ]; then
    pkgs+=(clang libclang-rt-dev)
fi

missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "bootstrap: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
