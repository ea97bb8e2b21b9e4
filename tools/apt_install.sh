#!/usr/bin/env bash
# Installs those of the given Debian packages that are missing, after saying
# which ("installing: ..."); when none is missing it says so and does
# nothing, not even `apt-get update`:
#   tools/apt_install.sh WHO PACKAGE...
# WHO names the caller in the messages. Runs as root or through sudo. The
# packages' own services (nginx, stunnel4) are not started by the install:
# where no policy says otherwise, one that refuses every service start
# (policy-rc.d's exit 101) holds while apt-get runs, so nginx does not take
# port 80.
set -euo pipefail
who=$1
shift
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "=== ${who}: the $# packages it needs are installed"
  exit 0
fi
echo "=== ${who}: installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
policy=/usr/sbin/policy-rc.d
ours=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
  $SUDO chmod 755 "$policy"
  ours=1
fi
status=0
{ $SUDO apt-get update && $SUDO apt-get install -y "${missing[@]}"; } || status=$?
[ "$ours" -eq 0 ] || $SUDO rm -f "$policy"
exit "$status"
