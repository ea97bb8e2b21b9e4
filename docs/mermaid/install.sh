#!/usr/bin/env bash
# Installs mermaid-cli from the npm registry into DEST (default
# build/mermaid), at the versions package-lock.json pins, and makes sure
# Debian's chromium is there to drive it: puppeteer's own browser download
# is skipped (it cannot reach its host here), and puppeteer.json points
# mmdc at /usr/bin/chromium. Prints the path of mmdc.
#   docs/mermaid/install.sh [DEST]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dest="${1:-$here/../../build/mermaid}"
if [ ! -x /usr/bin/chromium ] || ! command -v npm >/dev/null; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  missing=()
  [ -x /usr/bin/chromium ] || missing+=(chromium)
  command -v npm >/dev/null || missing+=(nodejs npm)
  echo "=== mermaid: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update >&2
  $SUDO apt-get install -y "${missing[@]}" >&2
fi
mkdir -p "$dest"
dest="$(realpath "$dest")"
if ! cmp -s "$here/package-lock.json" "$dest/package-lock.json" || [ ! -x "$dest/node_modules/.bin/mmdc" ]; then
  cp "$here/package.json" "$here/package-lock.json" "$dest/"
  (cd "$dest" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error >&2)
fi
echo "$dest/node_modules/.bin/mmdc"
