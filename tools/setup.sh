#!/usr/bin/env bash
# Installs what building, testing and packaging need on a Debian 12 machine
# (tools/test.sh, tools/package.sh and the scripts they run); the demo
# installs its own, shorter list (tools/demo.sh). Runs as root (CI and the
# project's machines) or through sudo.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
# --- bindings and docs: building, installing and type-checking the Python
# wheel (Debian's own packaging tools: PyPI is not reachable) and packing
# and restoring the NuGet package (Debian's nuget on Mono: NuGet.org is not
# reachable either).
bindings_packages=(python3-build python3-venv python3-wheel python3-setuptools mypy nuget)
bindings_missing=()
for p in "${bindings_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || bindings_missing+=("$p")
done
if [ "${#bindings_missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y "${bindings_missing[@]}"
fi
# --- end bindings and docs
# --- load tests with Locust (tools/locust): Debian's Locust and gevent for
# the master and workers, and chromium to look at Locust's web UI headless.
locust_packages=(python3-locust python3-gevent chromium)
locust_missing=()
for p in "${locust_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || locust_missing+=("$p")
done
if [ "${#locust_missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y "${locust_missing[@]}"
fi
# --- end load tests with Locust
# mono-devel: the .NET Framework 4.6.1 reference assemblies that the NuGet
# package's Kelvo.dll is compiled against (bindings/csharp/package_nuget.sh).
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libasio-dev libgtest-dev libgmock-dev libbenchmark-dev
  microsocks dante-server libreadline-dev libssl-dev binutils
  tshark python3 python3-pytest
  doxygen llvm-14 zip unzip pkgconf dpkg-dev icoutils
  mono-mcs mono-devel nunit-console libnunit-cil-dev libmono-i18n4.0-all
  iproute2 stress-ng
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y "${missing[@]}"
fi

# --- ARM Linux cross builds ----------------------------------------------------
# Presets aarch64, armhf, package-aarch64 and package-armhf: Debian's cross
# compilers, qemu-user to run the test programs, GoogleTest's sources (the
# cross builds compile them), and the targets' libcrypto and C/C++ run-times
# as multiarch packages: the cross builds link the former, qemu loads the
# latter as an ARM machine would, and dpkg-shlibdeps reads the .debs'
# dependencies from them.
install_linux_arm() {
  local arm_packages=(
    g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user googletest
    libssl-dev:arm64 libstdc++6:arm64 libssl-dev:armhf libstdc++6:armhf
  )
  local arm_missing=() p arch
  for p in "${arm_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || arm_missing+=("$p")
  done
  [ "${#arm_missing[@]}" -gt 0 ] || return 0
  export DEBIAN_FRONTEND=noninteractive
  for arch in arm64 armhf; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
  done
  $SUDO apt-get update
  $SUDO apt-get install -y "${arm_missing[@]}"
}
install_linux_arm

# --- TLS terminators ----------------------------------------------------------
# stunnel4 and nginx with its stream module, which the secure-link tests and
# the demo (tools/demo.sh --tls stunnel|nginx) start on loopback in front of
# a clear-text kelvo-server, with configurations of their own. The packages'
# own services are not wanted: where no policy says otherwise, one that
# refuses every service start (policy-rc.d's exit 101) holds during the
# install, so that nginx does not start on port 80.
install_tls_terminators() {
  local tls_packages=(stunnel4 nginx libnginx-mod-stream)
  local tls_missing=() p
  for p in "${tls_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || tls_missing+=("$p")
  done
  [ "${#tls_missing[@]}" -gt 0 ] || return 0
  export DEBIAN_FRONTEND=noninteractive
  local policy=/usr/sbin/policy-rc.d ours=0
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    ours=1
  fi
  local status=0
  { $SUDO apt-get update && $SUDO apt-get install -y "${tls_missing[@]}"; } || status=$?
  [ "$ours" -eq 0 ] || $SUDO rm -f "$policy"
  return "$status"
}
install_tls_terminators
# --- end TLS terminators
