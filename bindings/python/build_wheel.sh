#!/usr/bin/env bash
# Builds the wheel of the Python binding with a module inside it:
#   bindings/python/build_wheel.sh MODULE OUTDIR [PLATFORM]
# MODULE is libkelvocore.so (its SONAME file is fine) or kelvocore.dll;
# PLATFORM is the wheel's platform tag, by default this machine's
# (win_amd64 and win32 for the two Windows DLLs). Uses Debian's python3-build,
# python3-setuptools and python3-wheel only: nothing is downloaded.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
module="$(realpath "$1")"
out="$(mkdir -p "$2" && realpath "$2")"
platform="${3:-}"
python=/usr/bin/python3
stage="$(mktemp -d /tmp/kelvo-wheel.XXXXXX)"
trap 'rm -rf "$stage"' EXIT
cp "$here/pyproject.toml" "$here/setup.py" "$here/README.md" "$stage/"
mkdir "$stage/kelvo"
cp "$here"/kelvo/*.py "$here/kelvo/py.typed" "$stage/kelvo/"
# The SDK's version, for the wheel's name and metadata and kelvo.__version__.
cp "$here/../../VERSION" "$stage/kelvo/VERSION"
case "$module" in
  *.dll) cp "$module" "$stage/kelvo/kelvocore.dll" ;;
  *) cp "$module" "$stage/kelvo/libkelvocore.so" ;;
esac
KELVO_WHEEL_PLATFORM="$platform" SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-1700000000}" \
  "$python" -m build --wheel --no-isolation --outdir "$out" "$stage" >"$stage.log" 2>&1 ||
  { cat "$stage.log" >&2; rm -f "$stage.log"; exit 1; }
rm -f "$stage.log"
