#!/usr/bin/env bash
# Builds the C# binding and its tests with Mono's compiler and runs them
# under nunit-console against a built module and server:
#   bindings/csharp/run_tests.sh MODULE SERVER [OUTDIR]
# e.g. bindings/csharp/run_tests.sh build/debug/libkelvocore.so \
#        build/debug/tools/kelvo_server/kelvo-server
# Exits 77 (skipped) when mcs or nunit-console is not installed.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
module="$(realpath "$1")"
server="$(realpath "$2")"
out="${3:-$(mktemp -d)}"
mkdir -p "$out"
framework=/usr/lib/cli/nunit.framework-2.6.3/nunit.framework.dll
for tool in mcs mono nunit-console; do
  if ! command -v "$tool" >/dev/null; then echo "skipped: $tool is not installed (tools/setup.sh)"; exit 77; fi
done
if [ ! -f "$framework" ]; then echo "skipped: $framework is missing (libnunit-cil-dev)"; exit 77; fi
# -langversion:7 keeps the binding within what Unity's compiler accepts.
mcs -langversion:7 -target:library -warnaserror -debug -out:"$out/Kelvo.dll" "$here"/src/*.cs
mcs -langversion:7 -target:library -warnaserror -debug -r:"$out/Kelvo.dll" -r:"$framework" -r:System.Core.dll \
    -out:"$out/Kelvo.Tests.dll" "$here"/tests/*.cs
cd "$out"
KELVO_MODULE="$module" KELVO_SERVER="$server" nunit-console -nologo -noshadow "$out/Kelvo.Tests.dll"
