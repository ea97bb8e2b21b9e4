#!/usr/bin/env bash
# The bindings' packages for the SDK's dist/, made from the very modules the
# SDK archives carry, and listed in dist/SHA256SUMS:
#   kelvo-VERSION-py3-none-linux_x86_64.whl   Python, with libkelvocore.so
#   kelvo-VERSION-py3-none-win_amd64.whl      Python, with the x64 DLL
#   kelvo-VERSION-py3-none-win32.whl          Python, with the x86 DLL
#   Kelvo.VERSION.nupkg                       C#, lib/net461 and runtimes/*/native
#   com.kelvo.client-VERSION.tgz              the Unity package
# Called by tools/package.sh once the archives and SHA256SUMS are written:
#   bindings/package_bindings.sh VERSION WINDOWS_SDK_STAGE DIST
set -euo pipefail
cd "$(dirname "$0")/.."
version=$1
sdk=$2
dist=$3
scratch=$(mktemp -d /tmp/kelvo-bindings.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# The x86_64 Linux module as its .tar.gz holds it (stripped; the wheels and
# packages name it linux-x64), and the two DLLs as the Windows .zip holds
# them. dist/ also holds the ARM archives, so the name is spelled out.
tar -xzf "$dist/kelvocore-$version-linux-x86_64.tar.gz" -C "$scratch" --wildcards "*/lib/libkelvocore.so.$version"
linux_so=$(echo "$scratch"/*/lib/libkelvocore.so."$version")
win64="$sdk/bin/x64/kelvocore.dll"
win32="$sdk/bin/x86/kelvocore.dll"
for f in "$linux_so" "$win64" "$win32"; do [ -f "$f" ] || { echo "*** package_bindings: no $f" >&2; exit 1; }; done

echo "=== package: Python wheels"
bindings/python/build_wheel.sh "$linux_so" "$dist"
bindings/python/build_wheel.sh "$win64" "$dist" win_amd64
bindings/python/build_wheel.sh "$win32" "$dist" win32
echo "=== package: NuGet package"
bindings/csharp/package_nuget.sh "$version" "$dist" "$linux_so" "$win64" "$win32"
echo "=== package: Unity package"
python3 bindings/csharp/unity/build_unity_package.py "$version" "$dist/com.kelvo.client-$version.tgz" \
  "$linux_so" "$win64" "$win32"
(cd "$dist" && sha256sum -- kelvo-"$version"-*.whl Kelvo."$version".nupkg com.kelvo.client-"$version".tgz >> SHA256SUMS)
