#!/usr/bin/env bash
# Tests the archives that tools/package.sh left in dist/ the way an SDK user
# meets them, each unpacked into a scratch folder outside the source tree:
#   - SHA256SUMS matches the archives;
#   - every archive and package carries the version of the file VERSION
#     (tests/versions/check_versions.py --dist);
#   - Linux .tar.gz: tests/consumer configured with find_package against the
#     unpacked prefix, both hosts (linked, and loading the module at run
#     time) run against the archive's own kelvo-server (login, one chat each
#     way); the same host compiled with the pkg-config flags and run; the
#     package refuses to be found for versions 1.0 and 1.2; no file of the
#     tree names the build machine's paths;
#   - .deb: unpacked with dpkg-deb -x, its file list and fields checked, the
#     host built with the pkg-config file inside it and run;
#   - Linux aarch64 and armhf .tar.gz and .deb: the layout, the module's
#     processor, ABI, SONAME and exports; the hosts cross-built against each
#     (find_package, pkg-config from the .tar.gz and from the .deb) and the
#     archive's kelvo-cli run under qemu-user against the x86_64 kelvo-server;
#   - Windows SDK .zip: the layout, each DLL's version resource and export
#     table, both import libraries, and per architecture a MinGW host linked
#     through libkelvocore.dll.a (found with find_package), one linked
#     through the MSVC-style kelvocore.lib and one loading the DLL, all run
#     under Wine against kelvo-server.
# Installs what is missing (Wine, MinGW-w64, icoutils) first. Prints
# "sdk_test: N passed, M failed" and exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

packages=(cmake ninja-build g++ pkgconf unzip icoutils llvm-14
          g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 wine32:i386)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "=== sdk_test: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update && $SUDO apt-get install -y "${missing[@]}" || exit 1
fi

start=$SECONDS
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "  ok   $*"; }
fail() { failed=$((failed + 1)); echo "  FAIL $*"; }
# check DESCRIPTION COMMAND...: one check; the command's output is shown on
# failure only.
check() {
  local what=$1 out
  shift
  if out=$("$@" 2>&1); then pass "$what"; else fail "$what"; printf '%s\n' "$out" | tail -40; fi
}

work=$(mktemp -d /tmp/kelvo-sdk-test.XXXXXX)
server_pid=""
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all
wine_started=0
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null; fi
  if [ "$wine_started" = 1 ]; then wineserver -k 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

one() {  # the single dist/ file matching a pattern
  local matches=(dist/$1)
  if [ "${#matches[@]}" -ne 1 ] || [ ! -e "${matches[0]}" ]; then
    echo "*** sdk_test: expected one dist/$1, found: ${matches[*]}" >&2
    exit 1
  fi
  echo "$root/${matches[0]}"
}
tgz=$(one 'kelvocore-*-linux-x86_64.tar.gz') || exit 1
deb=$(one 'kelvocore_*_amd64.deb') || exit 1
zip=$(one 'kelvocore-*-windows-sdk.zip') || exit 1
version=$(dpkg-deb -f "$deb" Version)
soname_version=${version%.*}

echo "=== sdk_test: archives of ${version}"
check "SHA256SUMS matches the archives" bash -c "cd dist && sha256sum --check --strict SHA256SUMS"

# kelvo-server from the Linux archive serves every host below, Wine's too.
mkdir -p "$work/linux"
tar -xzf "$tgz" -C "$work/linux"
prefix=$(echo "$work"/linux/kelvocore-*)
"$prefix/bin/kelvo-server" --port 0 >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/server.out")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "*** sdk_test: kelvo-server from the archive did not start" >&2
  cat "$work/server.err" >&2
  exit 1
fi

# holds WHAT DIR FILE...: one check that every FILE exists under DIR.
holds() {
  local what=$1 dir=$2 f
  shift 2
  local absent=()
  for f in "$@"; do [ -e "$dir/$f" ] || [ -L "$dir/$f" ] || absent+=("$f"); done
  if [ "${#absent[@]}" -eq 0 ]; then pass "$what holds its $# files"; else fail "$what lacks ${absent[*]}"; fi
}

# run_host DESCRIPTION COMMAND...: the host must end with its OK line.
run_host() {
  local what=$1 out
  shift
  out=$(timeout 120 "$@" 2>&1)
  if [ $? -eq 0 ] && grep -q '^KELVO CONSUMER OK' <<<"$out"; then
    pass "$what"
  else
    fail "$what"
    printf '%s\n' "$out" | tail -40
  fi
}

# --- bindings and docs: the bindings' packages as their users install them,
# and the API reference as a browser shows it.
bindings_tests() {
  local wheel nupkg unity module tgz_module
  echo "=== sdk_test: bindings' packages"
  mkdir -p "$work/bindings/tgz"
  tar -xzf "$tgz" -C "$work/bindings/tgz" --wildcards "*/lib/libkelvocore.so.${version}"
  tgz_module=$(echo "$work"/bindings/tgz/*/lib/libkelvocore.so."${version}")
  # Each package carries the very module of the archives.
  same_module() {  # DESCRIPTION ARCHIVE MEMBER REFERENCE
    check "$1" bash -c "cmp -s <(unzip -p '$2' '$3') '$4'"
  }
  for wheel in linux_x86_64:libkelvocore.so win_amd64:kelvocore.dll win32:kelvocore.dll; do
    local tag=${wheel%%:*} file=${wheel#*:} whl="$root/dist/kelvo-${version}-py3-none-${wheel%%:*}.whl"
    case $tag in
      linux_x86_64) module=$tgz_module ;;
      win_amd64) module="$work/bindings/x64.dll"; unzip -p "$zip" "*/bin/x64/kelvocore.dll" >"$module" ;;
      win32) module="$work/bindings/x86.dll"; unzip -p "$zip" "*/bin/x86/kelvocore.dll" >"$module" ;;
    esac
    same_module "wheel ${tag} carries the archives' module" "$whl" "kelvo/$file" "$module"
  done
  nupkg="$root/dist/Kelvo.${version}.nupkg"
  same_module "nupkg linux-x64 module is the archives'" "$nupkg" runtimes/linux-x64/native/libkelvocore.so "$tgz_module"
  same_module "nupkg win-x64 module is the archives'" "$nupkg" runtimes/win-x64/native/kelvocore.dll "$work/bindings/x64.dll"
  same_module "nupkg win-x86 module is the archives'" "$nupkg" runtimes/win-x86/native/kelvocore.dll "$work/bindings/x86.dll"
  check "wheel: installed into fresh venvs, tests, README bots and mypy --strict" \
    "$root/bindings/python/test_wheel.sh" "$tgz_module" "$prefix/bin/kelvo-server" "$work/bindings/wheel" \
    "$root/dist/kelvo-${version}-py3-none-linux_x86_64.whl"
  check "nupkg: restored from a folder feed, C# session from it" \
    "$root/bindings/csharp/test_nuget.sh" "$nupkg" "$prefix/bin/kelvo-server" "$work/bindings/nuget"
  unity="$root/dist/com.kelvo.client-${version}.tgz"
  check "Unity package: manifest, layout, import settings, modules, sample" \
    python3 "$root/bindings/csharp/unity/check_unity_package.py" "$unity" --version "$version" \
      --sdk-tgz "$tgz" --sdk-zip "$zip"
  # The reference: every brief says what the operation does, not its slot,
  # and the host guide shows its diagrams (each SVG there and well-formed).
  local html="$prefix/share/kelvo/docs/api"
  check "API reference: no brief line is a slot number" \
    bash -c "! grep -h -o 'class=\"mdescRight\">Slot[^<]*' '$html'/class*.html | grep ."
  check "API reference: the host guide shows its diagrams" python3 - "$html" "$root/docs/host-guide.md" <<'PY'
import re, sys, os, xml.etree.ElementTree as ET
html, guide = sys.argv[1:3]
blocks = open(guide, encoding="utf-8").read().count("```mermaid")
page = open(os.path.join(html, "md_host_guide.html"), encoding="utf-8").read()
images = re.findall(r'(?:src|data)="(host-guide-\d+\.svg)"', page)
assert len(set(images)) == blocks > 0, (images, blocks)
for image in images:
    ET.parse(os.path.join(html, image))
PY
}
bindings_tests
# --- end bindings and docs

# One version: every archive and package of dist/, by name and by what it
# holds (module, SONAME, headers, DLL version resources, .deb fields, wheel
# metadata, the NuGet package's assembly, the Unity manifest), against VERSION.
check "every archive and package carries the version of VERSION (${version})" \
  python3 "$root/tests/versions/check_versions.py" --source "$root" --dist "$root/dist" --work "$work/versions"

echo "=== sdk_test: Linux .tar.gz"
holds "tar.gz" "$prefix" lib/libkelvocore.so "lib/libkelvocore.so.${soname_version}" \
  "lib/libkelvocore.so.${version}" include/kelvo/kelvo_core.h include/kelvo/version.h \
  lib/cmake/KelvoCore/KelvoCoreConfig.cmake lib/pkgconfig/kelvocore.pc bin/kelvo-cli \
  bin/kelvo-bots bin/kelvo-server share/kelvo/docs/host-guide.md share/kelvo/CHANGELOG.md \
  share/kelvo/docs/api/index.html share/kelvo/bindings/python/kelvo/__init__.py \
  share/kelvo/bindings/csharp/src/KelvoClient.cs
check "libkelvocore's SONAME is libkelvocore.so.${soname_version}" \
  bash -c "readelf -d '$prefix/lib/libkelvocore.so.${version}' | grep -q 'SONAME.*\[libkelvocore.so.${soname_version}\]'"
check "no static library, test program or network library" \
  bash -c "! find '$prefix' -name '*.a' -o -name '*_test*' -o -name 'libnimbo*' | grep -q ."
check "no file names the build tree ($root)" bash -c "! grep -rlF '$root' '$prefix'"
check "tar.gz: every link of the pages leads to a page it holds" \
  python3 "$root/tests/docs/check_links.py" --tree "$prefix/share/kelvo"

consumer="$work/consumer-linux"
check "find_package(KelvoCore 1.1 CONFIG): configure and build" bash -c \
  "cmake -S '$root/tests/consumer' -B '$consumer' -G Ninja -DCMAKE_PREFIX_PATH='$prefix' && cmake --build '$consumer'"
run_host "linked host against kelvo-server" "$consumer/kelvo_consumer_linked" "$port"
run_host "host loading the module at run time" \
  "$consumer/kelvo_consumer_loaded" "$port" "$prefix/lib/libkelvocore.so.${soname_version}"
for wants in 1.0 1.2; do
  check "find_package(KelvoCore ${wants}) is refused" bash -c \
    "! cmake -S '$root/tests/consumer' -B '$work/refused-${wants}' -G Ninja \
       -DCMAKE_PREFIX_PATH='$prefix' -DKELVO_CONSUMER_WANTS=${wants}"
done

# pkg_host DESCRIPTION PC_DIR OUT: the host built from the .pc flags alone.
pkg_host() {
  local flags libdir
  flags=$(PKG_CONFIG_PATH="$2" pkg-config --cflags --libs kelvocore) &&
  libdir=$(PKG_CONFIG_PATH="$2" pkg-config --variable=libdir kelvocore) &&
  check "$1: pkg-config build" bash -c \
    "g++ -std=c++14 -Wall -Wextra -Werror '$root/tests/consumer/host.cpp' -o '$3' $flags -pthread -Wl,-rpath,'$libdir'" &&
  run_host "$1: host against kelvo-server" "$3" "$port"
}
pkg_host "tar.gz" "$prefix/lib/pkgconfig" "$work/host-pkgconfig"

echo "=== sdk_test: .deb"
debroot="$work/deb"
dpkg-deb -x "$deb" "$debroot"
check "package kelvocore ${version}" test "$(dpkg-deb -f "$deb" Package)" = kelvocore
check "depends on the C++ runtime it links" bash -c "dpkg-deb -f '$deb' Depends | grep -q 'libstdc++6'"
check "installs under /usr only" bash -c "[ \"\$(ls -A '$debroot')\" = usr ]"
expected=(
  "usr/lib/libkelvocore.so.${version}" "usr/lib/libkelvocore.so.${soname_version}" usr/lib/libkelvocore.so
  usr/include/kelvo/im_base.h usr/include/kelvo/im_client.h usr/include/kelvo/im_client_sink.h
  usr/include/kelvo/kelvo_core.h usr/include/kelvo/kelvo_types.h usr/include/kelvo/version.h
  usr/lib/cmake/KelvoCore/KelvoCoreConfig.cmake usr/lib/cmake/KelvoCore/KelvoCoreConfigVersion.cmake
  usr/lib/cmake/KelvoCore/KelvoCoreTargets.cmake usr/lib/pkgconfig/kelvocore.pc
  usr/bin/kelvo-cli usr/bin/kelvo-bots usr/bin/kelvo-server usr/share/kelvo/docs/host-guide.md
  usr/share/kelvo/CHANGELOG.md usr/share/kelvo/docs/api/index.html
  usr/share/kelvo/bindings/python/kelvo/__init__.py usr/share/kelvo/bindings/csharp/src/KelvoClient.cs
)
holds ".deb" "$debroot" "${expected[@]}"
check "libkelvocore.so.${soname_version} is a link to the module" \
  test "$(readlink "$debroot/usr/lib/libkelvocore.so.${soname_version}")" = "libkelvocore.so.${version}"
check ".deb: no file names the build tree" bash -c "! grep -rlF '$root' '$debroot'"
pkg_host ".deb" "$debroot/usr/lib/pkgconfig" "$work/host-deb"

echo "=== sdk_test: Windows SDK .zip"
mkdir -p "$work/win"
unzip -q "$zip" -d "$work/win"
sdk=$(echo "$work"/win/kelvocore-*-windows-sdk)
holds "zip" "$sdk" include/kelvo/kelvo_core.h include/kelvo/version.h CHANGELOG.md \
  bindings/python/kelvo/__init__.py bindings/csharp/src/KelvoClient.cs \
  docs/host-guide.md docs/api/index.html lib/cmake/KelvoCore/KelvoCoreConfig.cmake \
  lib/cmake/KelvoCore/KelvoCoreConfigVersion.cmake
check "zip: no file names the build tree" bash -c "! grep -rlF '$root' '$sdk'"
check "zip: every link of the pages leads to a page it holds" \
  python3 "$root/tests/docs/check_links.py" --tree "$sdk"

mkdir -p "$WINEPREFIX"
wineserver -p && wine_started=1
wineboot -i >/dev/null 2>&1

for arch in x64 x86; do
  if [ "$arch" = x64 ]; then triple=x86_64-w64-mingw32; imp=__imp_CreateKelvoCore; processor=x86_64
  else triple=i686-w64-mingw32; imp=__imp__CreateKelvoCore; processor=i686; fi
  dll="$sdk/bin/$arch/kelvocore.dll"
  holds "zip, $arch" "$sdk" "bin/$arch/kelvocore.dll" "lib/$arch/libkelvocore.dll.a" \
    "lib/$arch/kelvocore.lib" "lib/$arch/kelvocore.def" "lib/cmake/KelvoCore/$arch/KelvoCoreTargets.cmake"

  # The version resource, as Explorer shows it.
  info=$(wrestool -x --raw --type=version "$dll" 2>/dev/null | iconv -f UTF-16LE -t UTF-8 -c | tr -c '[:print:]' '\n' | grep -v '^$')
  for field in "FileVersion ${version}.0" "ProductVersion ${version}" "OriginalFilename kelvocore.dll" \
               "FileDescription Kelvo instant-messaging client core ($arch)"; do
    name=${field%% *}
    value=${field#* }
    if grep -A1 -x "$name" <<<"$info" | grep -qxF "$value"; then pass "$arch DLL: $name $value"
    else fail "$arch DLL: $name $value"; fi
  done
  check "$arch DLL exports only CreateKelvoCore" \
    cmake -DOBJDUMP="$triple-objdump" -DDLL="$dll" -P "$root/tests/windows/check_exports.cmake"
  for lib in libkelvocore.dll.a kelvocore.lib; do
    check "$arch $lib defines $imp" bash -c "llvm-nm-14 '$sdk/lib/$arch/$lib' | grep -qE ' [TI] $imp\$'"
  done

  # The hosts, built with the MinGW toolchain a game team would use.
  consumer="$work/consumer-$arch"
  check "$arch find_package(KelvoCore 1.1 CONFIG): configure and build" bash -c \
    "cmake -S '$root/tests/consumer' -B '$consumer' -G Ninja -DCMAKE_SYSTEM_NAME=Windows \
       -DCMAKE_SYSTEM_PROCESSOR=$processor -DCMAKE_CXX_COMPILER=$triple-g++-posix \
       -DCMAKE_PREFIX_PATH='$sdk' && cmake --build '$consumer'"
  check "$arch host linked with the MSVC-style kelvocore.lib" \
    "$triple-g++-posix" -std=c++14 -Wall -Wextra -Werror -static -I"$sdk/include" \
      "$root/tests/consumer/host.cpp" "$sdk/lib/$arch/kelvocore.lib" -o "$consumer/host_msvclib.exe"
  check "$arch host_msvclib.exe imports CreateKelvoCore from kelvocore.dll" bash -c \
    "$triple-objdump -p '$consumer/host_msvclib.exe' | grep -A3 'DLL Name: kelvocore.dll' | grep -q 'CreateKelvoCore'"
  # Wine finds kelvocore.dll next to the programs (the consumer copies it).
  cd "$consumer" || exit 1
  run_host "$arch host through libkelvocore.dll.a, under Wine" wine kelvo_consumer_linked.exe "$port"
  run_host "$arch host through kelvocore.lib, under Wine" wine host_msvclib.exe "$port"
  run_host "$arch host loading kelvocore.dll, under Wine" wine kelvo_consumer_loaded.exe "$port" kelvocore.dll
  cd "$root" || exit 1
done

# --- ARM Linux archives -------------------------------------------------------
# Each unpacked as an SDK user gets it; the hosts are built with Debian's
# cross compilers and run under qemu-user (the targets' run-times are the
# multiarch packages tools/setup.sh installs) against the x86_64 kelvo-server
# started above, as a game on a phone talks to a server elsewhere.
sdk_test_linux_arm() {
  local arch deb_arch triple qemu machine processor atgz adeb aprefix adebroot consumer t
  # The cross compilers, qemu-user and the targets' run-times, when missing.
  bash "$root/tools/setup.sh" >/dev/null || exit 1
  for arch in aarch64 armhf; do
    case $arch in
      aarch64) deb_arch=arm64; triple=aarch64-linux-gnu; qemu=qemu-aarch64
               machine=AArch64; processor=aarch64 ;;
      armhf) deb_arch=armhf; triple=arm-linux-gnueabihf; qemu=qemu-arm
             machine=ARM; processor=armv7l ;;
    esac
    t=$SECONDS
    echo "=== sdk_test: Linux ${arch} .tar.gz and .deb, hosts under ${qemu}"
    atgz=$(one "kelvocore-*-linux-${arch}.tar.gz") || exit 1
    adeb=$(one "kelvocore_*_${deb_arch}.deb") || exit 1
    mkdir -p "$work/$arch"
    tar -xzf "$atgz" -C "$work/$arch"
    aprefix=$(echo "$work/$arch"/kelvocore-*)
    holds "$arch tar.gz" "$aprefix" lib/libkelvocore.so "lib/libkelvocore.so.${soname_version}" \
      "lib/libkelvocore.so.${version}" include/kelvo/kelvo_core.h include/kelvo/version.h \
      lib/cmake/KelvoCore/KelvoCoreConfig.cmake lib/pkgconfig/kelvocore.pc bin/kelvo-cli \
      bin/kelvo-server share/kelvo/docs/host-guide.md share/kelvo/CHANGELOG.md \
      share/kelvo/docs/api/index.html share/kelvo/bindings/python/kelvo/__init__.py \
      share/kelvo/bindings/csharp/src/KelvoClient.cs
    local module="$aprefix/lib/libkelvocore.so.${version}"
    check "$arch: module, kelvo-cli and kelvo-server are $machine programs" bash -c \
      "for f in '$module' '$aprefix/bin/kelvo-cli' '$aprefix/bin/kelvo-server'; do
         readelf -h \"\$f\" | grep -q 'Machine: *$machine\$' || { echo \"\$f\"; readelf -h \"\$f\"; exit 1; }
       done"
    if [ "$arch" = armhf ]; then
      check "armhf: the module uses the hard-float ABI" bash -c "readelf -h '$module' | grep -q 'hard-float ABI'"
    fi
    check "$arch: SONAME is libkelvocore.so.${soname_version}" \
      bash -c "readelf -d '$module' | grep -q 'SONAME.*\[libkelvocore.so.${soname_version}\]'"
    check "$arch: the module exports only CreateKelvoCore" bash -c \
      "[ \"\$(nm -D --defined-only '$module' | awk '{print \$3}')\" = CreateKelvoCore ]"
    check "$arch: no static library, test program or network library" \
      bash -c "! find '$aprefix' -name '*.a' -o -name '*_test*' -o -name 'libnimbo*' | grep -q ."
    check "$arch: no file names the build tree" bash -c "! grep -rlF '$root' '$aprefix'"

    # The hosts as a game team cross-builds them: their own compiler and
    # find_package against the unpacked SDK, no toolchain file of ours.
    consumer="$work/consumer-$arch"
    check "$arch find_package(KelvoCore 1.1 CONFIG): configure and build" bash -c \
      "cmake -S '$root/tests/consumer' -B '$consumer' -G Ninja -DCMAKE_SYSTEM_NAME=Linux \
         -DCMAKE_SYSTEM_PROCESSOR=$processor -DCMAKE_CXX_COMPILER=$triple-g++ \
         -DCMAKE_PREFIX_PATH='$aprefix' && cmake --build '$consumer'"
    run_host "$arch linked host under $qemu against kelvo-server" \
      "$qemu" "$consumer/kelvo_consumer_linked" "$port"
    run_host "$arch host loading the module at run time, under $qemu" \
      "$qemu" "$consumer/kelvo_consumer_loaded" "$port" "$aprefix/lib/libkelvocore.so.${soname_version}"
    arm_pkg_host "$arch tar.gz" "$aprefix/lib/pkgconfig" "$work/host-pkgconfig-$arch"

    # The archive's own CLI finds the module through its RUNPATH and speaks
    # GBK to the server while its terminal speaks UTF-8.
    printf '%s\n' "connect 127.0.0.1 $port" 'wait "OnConnect 1"' 'login 1003 carol' \
      'wait "OnLoginResult 1"' 'search 小明' "wait 'OnSearchUserListItem #1005 \"小明\"'" \
      >"$work/cli-$arch.script"
    check "$arch kelvo-cli from the archive, under $qemu, logs in and searches in GBK" \
      timeout 120 "$qemu" "$aprefix/bin/kelvo-cli" --script "$work/cli-$arch.script"

    adebroot="$work/deb-$arch"
    dpkg-deb -x "$adeb" "$adebroot"
    check "$arch .deb: package kelvocore ${version} for ${deb_arch}" bash -c \
      "[ \"\$(dpkg-deb -f '$adeb' Package Version Architecture | tr '\n' ' ')\" = 'Package: kelvocore Version: ${version} Architecture: ${deb_arch} ' ]"
    check "$arch .deb: depends on the C++ runtime it links" bash -c "dpkg-deb -f '$adeb' Depends | grep -q 'libstdc++6'"
    check "$arch .deb: installs under /usr only" bash -c "[ \"\$(ls -A '$adebroot')\" = usr ]"
    holds "$arch .deb" "$adebroot" "${expected[@]}"
    check "$arch .deb: no file names the build tree" bash -c "! grep -rlF '$root' '$adebroot'"
    arm_pkg_host "$arch .deb" "$adebroot/usr/lib/pkgconfig" "$work/host-deb-$arch"
    echo "=== sdk_test: ${arch} checked in $((SECONDS - t)) s"
  done
}

# arm_pkg_host DESCRIPTION PC_DIR OUT: the host cross-built from the .pc
# flags alone, run under qemu (triple and qemu from the caller).
arm_pkg_host() {
  local flags libdir
  flags=$(PKG_CONFIG_PATH="$2" pkg-config --cflags --libs kelvocore) &&
  libdir=$(PKG_CONFIG_PATH="$2" pkg-config --variable=libdir kelvocore) &&
  check "$1: pkg-config build" bash -c \
    "$triple-g++ -std=c++14 -Wall -Wextra -Werror '$root/tests/consumer/host.cpp' -o '$3' $flags -pthread -Wl,-rpath,'$libdir'" &&
  run_host "$1: host under $qemu against kelvo-server" "$qemu" "$3" "$port"
}
sdk_test_linux_arm

echo "=== sdk_test: ${passed} checks in $((SECONDS - start)) s"
echo "sdk_test: ${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
