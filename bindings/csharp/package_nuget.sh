#!/usr/bin/env bash
# Builds the NuGet package of the C# binding with Mono's compiler and
# Debian's nuget client (no .NET SDK, no download):
#   bindings/csharp/package_nuget.sh VERSION OUTDIR LINUX_X64_SO WIN_X64_DLL WIN_X86_DLL
# gives OUTDIR/Kelvo.VERSION.nupkg with lib/net461/Kelvo.dll and Kelvo.xml,
# README.md and runtimes/{linux-x64,win-x64,win-x86}/native/. VERSION is the
# SDK's (tools/package.sh passes the one CMake read from the file VERSION);
# the assembly carries it too, as AssemblyVersion VERSION.0.
#
# The assembly is compiled against the reference assemblies of .NET
# Framework 4.6.1 that Debian's mono-devel ships, so it uses nothing newer
# and sits in lib/net461/: .NET Framework 4.6.1 and later and Mono take it
# as it is, .NET Core and .NET 5+ through NuGet's fallback to net461 (with
# warning NU1701). mcs cannot make a netstandard2.0 assembly: the
# netstandard.dll Mono ships forwards its types to mscorlib, and mcs writes
# the references to where a type really is, so the result would still
# reference mscorlib 4.0 and not belong in lib/netstandard2.0.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
version=$1
out="$(mkdir -p "$2" && realpath "$2")"
framework=net461
reference=/usr/lib/mono/4.6.1-api
if [ ! -f "$reference/mscorlib.dll" ]; then
  echo "*** package_nuget: no $reference (Debian's mono-devel; tools/setup.sh installs it)" >&2
  exit 1
fi
stage="$(mktemp -d /tmp/kelvo-nuget.XXXXXX)"
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage/lib/$framework" "$stage/runtimes/linux-x64/native" \
         "$stage/runtimes/win-x64/native" "$stage/runtimes/win-x86/native"
cp "$3" "$stage/runtimes/linux-x64/native/libkelvocore.so"
cp "$4" "$stage/runtimes/win-x64/native/kelvocore.dll"
cp "$5" "$stage/runtimes/win-x86/native/kelvocore.dll"
cp "$here/README.md" "$stage/"
# The assembly's identity: its version is the package's, and it names the
# framework it was compiled for.
cat >"$stage/AssemblyInfo.cs" <<CS
using System.Reflection;
using System.Runtime.Versioning;
[assembly: AssemblyVersion("$version.0")]
[assembly: AssemblyFileVersion("$version.0")]
[assembly: AssemblyInformationalVersion("$version")]
[assembly: AssemblyProduct("Kelvo client SDK")]
[assembly: TargetFramework(".NETFramework,Version=v4.6.1", FrameworkDisplayName = ".NET Framework 4.6.1")]
CS
# The assembly and its XML documentation; a public member without its
# comment fails the build (-warnaserror with -doc).
mcs -langversion:7 -target:library -warnaserror -optimize+ -deterministic \
    -nostdlib -noconfig -r:"$reference/mscorlib.dll" -r:"$reference/System.dll" -r:"$reference/System.Core.dll" \
    -doc:"$stage/lib/$framework/Kelvo.xml" -out:"$stage/lib/$framework/Kelvo.dll" \
    "$stage/AssemblyInfo.cs" "$here"/src/*.cs
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
