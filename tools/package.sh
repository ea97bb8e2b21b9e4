#!/usr/bin/env bash
# Builds the release archives into dist/, from a clean clone as well:
#   kelvocore-VERSION-linux-x86_64.tar.gz   the installed tree (lib, include,
#                                           CMake package, pkg-config, docs,
#                                           bin/kelvo-cli, bin/kelvo-bots,
#                                           bin/kelvo-server)
#   kelvocore_VERSION_amd64.deb             the same, installing under /usr
#   kelvocore-VERSION-linux-aarch64.tar.gz  the same tree for 64-bit ARM Linux,
#   kelvocore-VERSION-linux-armhf.tar.gz    and for 32-bit ARM (hard-float),
#   kelvocore_VERSION_arm64.deb             cross-built (presets package-aarch64
#   kelvocore_VERSION_armhf.deb             and package-armhf)
#   kelvocore-VERSION-windows-sdk.zip       include/, bin/x64, bin/x86,
#                                           lib/x64, lib/x86, lib/cmake,
#                                           docs/, bindings/, CHANGELOG.md,
#                                           VERSION (the pages as share/kelvo
#                                           of the Linux archives has them)
#   SHA256SUMS
# Release builds in build/package-linux, build/package-win64 and
# build/package-win32 (presets of the same names); an existing build there is
# reused. Installs what is missing first. tools/sdk_test.sh tests the result.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
# --- bindings and docs (1 of 2): mermaid-cli, which renders the host
# guide's diagrams into the API reference of the package-linux build.
bash docs/mermaid/install.sh >/dev/null
# --- end bindings and docs (1 of 2)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# The cross compilers, as tools/windows.sh installs them (Wine is only
# needed to run the consumer tests).
packages=(g++-mingw-w64-x86-64 g++-mingw-w64-i686)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "=== package: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  $SUDO apt-get install -y "${missing[@]}"
fi

start=$SECONDS
jobs=2
for preset in package-linux package-win64 package-win32; do
  echo "=== package: ${preset}: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done

version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' build/package-linux/CPackConfig.cmake)
if [ -z "$version" ]; then
  echo "*** package: no version in build/package-linux/CPackConfig.cmake" >&2
  exit 1
fi

rm -rf dist build/package-stage
mkdir -p dist build/package-stage

echo "=== package: Linux .tar.gz and .deb (CPack)"
(cd build/package-linux && cpack -B "$PWD/../package-stage/cpack" >/dev/null)
cp build/package-stage/cpack/*.tar.gz build/package-stage/cpack/*.deb dist/

echo "=== package: Windows SDK .zip"
sdk_name="kelvocore-${version}-windows-sdk"
sdk="build/package-stage/${sdk_name}"
# Both architectures install into one tree: each puts its DLL under
# bin/<arch>, its linker files under lib/<arch> and its CMake targets under
# lib/cmake/KelvoCore/<arch>; the headers are the same.
cmake --install build/package-win64 --prefix "$sdk" --strip >/dev/null
cmake --install build/package-win32 --prefix "$sdk" --strip >/dev/null
# The pages as the Linux archives hold them under share/kelvo (CHANGELOG.md,
# docs/, each binding's README.md), at the top of the .zip, so that their
# relative links work there too; the API reference beside them.
rm -rf build/package-stage/pages
cmake --install build/package-linux --component pages --prefix build/package-stage/pages >/dev/null
cp -r build/package-stage/pages/share/kelvo/. "$sdk/"
mkdir -p "$sdk/docs/api"
cp -r build/package-linux/docs/api/html/. "$sdk/docs/api/"
# The bindings as sources (the C# one is what a Unity project takes).
mkdir -p "$sdk/bindings/python" "$sdk/bindings/csharp"
cp -r bindings/python/kelvo "$sdk/bindings/python/"
cp -r bindings/csharp/src "$sdk/bindings/csharp/"
# The SDK's version file beside bindings/, where kelvo.__version__ reads it.
cp VERSION "$sdk/"
find "$sdk/bindings" -name __pycache__ -prune -exec rm -rf {} +
(cd build/package-stage && zip -qrX "../../dist/${sdk_name}.zip" "$sdk_name")

# --- ARM Linux archives ------------------------------------------------------
# The installed tree of the x86_64 archives, cross-built for aarch64 and armhf
# with the toolchains in cmake/. dpkg-shlibdeps reads each .deb's
# dependencies from the target's multiarch libraries (libstdc++6:arm64, ...),
# which tools/setup.sh installs with the cross compilers.
package_linux_arm() {
  local preset arch t
  for preset in package-aarch64 package-armhf; do
    arch=${preset#package-}
    t=$SECONDS
    echo "=== package: ${preset}: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "=== package: Linux ${arch} .tar.gz and .deb (CPack)"
    (cd "build/${preset}" && cpack -B "$PWD/../package-stage/cpack-${arch}" >/dev/null)
    cp "build/package-stage/cpack-${arch}"/*.tar.gz "build/package-stage/cpack-${arch}"/*.deb dist/
    echo "=== package: ${arch} built and packed in $((SECONDS - t)) s"
  done
}
package_linux_arm

(cd dist && sha256sum -- *.tar.gz *.deb *.zip > SHA256SUMS)
# --- bindings and docs (2 of 2): the Python wheels, the NuGet package and
# the Unity package, from the modules the archives above carry; they add
# their own lines to SHA256SUMS.
bash bindings/package_bindings.sh "$version" "$sdk" dist
# --- end bindings and docs (2 of 2)
echo "=== package: dist/ (${version}) in $((SECONDS - start)) s"
ls -l dist
