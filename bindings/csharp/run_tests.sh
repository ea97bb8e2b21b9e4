#!/usr/bin/env bash
# Builds the C# binding and its tests with Mono's compiler and runs them
# under nunit-console against a built module and server:
#   bindings/csharp/run_tests.sh MODULE SERVER [OUTDIR [KELVO_DLL]]
# e.g. bindings/csharp/run_tests.sh build/debug/libkelvocore.so \
#        build/debug/tools/kelvo_server/kelvo-server
# With KELVO_DLL the tests run against that assembly (one restored from the
# NuGet package, say) instead of one built from src/.
# Exits 77 (skipped) when mcs or nunit-console is not installed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
module="$(realpath "$1")"
server="$(realpath "$2")"
out="${3:-$(mktemp -d)}"
assembly="${4:-}"
mkdir -p "$out"
framework=/usr/lib/cli/nunit.framework-2.6.3/nunit.framework.dll
for tool in mcs mono nunit-console; do
  if ! command -v "$tool" >/dev/null; then echo "skipped: $tool is not installed (tools/setup.sh)"; exit 77; fi
done
if [ ! -f "$framework" ]; then echo "skipped: $framework is missing (libnunit-cil-dev)"; exit 77; fi
if [ -n "$assembly" ]; then
  cp "$assembly" "$out/Kelvo.dll"
else
  # -langversion:7 keeps the binding within what Unity's compiler accepts;
  # -doc fails the build on a public member without its XML comment.
  mcs -langversion:7 -target:library -warnaserror -debug -doc:"$out/Kelvo.xml" -out:"$out/Kelvo.dll" "$here"/src/*.cs
fi
mcs -langversion:7 -target:library -warnaserror -debug -r:"$out/Kelvo.dll" -r:"$framework" -r:System.Core.dll \
    -out:"$out/Kelvo.Tests.dll" "$here"/tests/*.cs
cd "$out"
KELVO_MODULE="$module" KELVO_SERVER="$server" \
KELVO_ARGUMENTS_TABLE="$here/../../docs/arguments-and-results.md" nunit-console -nologo -noshadow "$out/Kelvo.Tests.dll"
