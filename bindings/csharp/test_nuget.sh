#!/usr/bin/env bash
# The NuGet package as a C# developer meets it: restored with Debian's nuget
# client from a local folder feed into a test program (a packages.config
# project), which is then built against the restored Kelvo.dll and runs the
# session tests with the package's own linux-x64 native module:
#   bindings/csharp/test_nuget.sh NUPKG SERVER WORKDIR
# Exits 77 when nuget, mcs or nunit-console is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
nupkg="$(realpath "$1")"
server="$(realpath "$2")"
work="$3"
for tool in nuget mcs mono nunit-console; do
  if ! command -v "$tool" >/dev/null; then echo "skipped: $tool is not installed (tools/setup.sh)"; exit 77; fi
done
name=$(basename "$nupkg" .nupkg)
version=${name#Kelvo.}
rm -rf "$work"
mkdir -p "$work/feed" "$work/program"
work="$(realpath "$work")"
cp "$nupkg" "$work/feed/"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$HOME"
cat >"$work/program/packages.config" <<XML
<?xml version="1.0" encoding="utf-8"?>
<packages>
  <package id="Kelvo" version="$version" targetFramework="net461" />
</packages>
XML
# The folder feed is the only source: nothing can come from elsewhere.
nuget install "$work/program/packages.config" -Source "$work/feed" -OutputDirectory "$work/program/packages" \
      -NonInteractive -NoCache
restored="$work/program/packages/Kelvo.$version"
for f in lib/net461/Kelvo.dll lib/net461/Kelvo.xml runtimes/linux-x64/native/libkelvocore.so \
         runtimes/win-x64/native/kelvocore.dll runtimes/win-x86/native/kelvocore.dll; do
  [ -f "$restored/$f" ] || { echo "*** the restored package lacks $f" >&2; exit 1; }
done
echo "=== restored Kelvo $version from the folder feed into $restored"
"$here/run_tests.sh" "$restored/runtimes/linux-x64/native/libkelvocore.so" "$server" "$work/program/bin" \
  "$restored/lib/net461/Kelvo.dll"
