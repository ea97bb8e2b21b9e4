#!/usr/bin/env bash
# Builds the NuGet package of the C# binding with Mono's compiler and
# Debian's nuget client (no .NET SDK, no download):
#   bindings/csharp/package_nuget.sh VERSION OUTDIR LINUX_X64_SO WIN_X64_DLL WIN_X86_DLL
# gives OUTDIR/Kelvo.VERSION.nupkg with lib/netstandard2.0/Kelvo.dll and
# Kelvo.xml, README.md and runtimes/{linux-x64,win-x64,win-x86}/native/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
version=$1
out="$(mkdir -p "$2" && realpath "$2")"
stage="$(mktemp -d /tmp/kelvo-nuget.XXXXXX)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/lib/netstandard2.0" "$stage/runtimes/linux-x64/native" \
         "$stage/runtimes/win-x64/native" "$stage/runtimes/win-x86/native"
cp "$3" "$stage/runtimes/linux-x64/native/libkelvocore.so"
cp "$4" "$stage/runtimes/win-x64/native/kelvocore.dll"
cp "$5" "$stage/runtimes/win-x86/native/kelvocore.dll"
cp "$here/README.md" "$stage/"
# The assembly and its XML documentation; a public member without its
# comment fails the build (-warnaserror with -doc).
mcs -langversion:7 -target:library -warnaserror -optimize+ -deterministic \
    -doc:"$stage/lib/netstandard2.0/Kelvo.xml" -out:"$stage/lib/netstandard2.0/Kelvo.dll" "$here"/src/*.cs
# nuget runs under Mono and writes its cache under $HOME.
export HOME="$stage/home" XDG_CONFIG_HOME="$stage/home/.config"
mkdir -p "$HOME"
# nuget takes a manifest only by its own file extension: the copy in the
# staging folder has it.
cp "$here/Kelvo.package.xml" "$stage/Kelvo.nuspec"
nuget pack "$stage/Kelvo.nuspec" -NonInteractive -NoDefaultExcludes -OutputDirectory "$out" \
      -BasePath "$stage" -Properties "version=$version" >"$stage/pack.log" 2>&1 ||
  { cat "$stage/pack.log" >&2; exit 1; }
ls "$out/Kelvo.$version.nupkg" >/dev/null
