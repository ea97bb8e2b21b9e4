#!/usr/bin/env bash
# The wheel as a user meets it: built, installed into fresh virtual
# environments with pip (no index: nothing may be downloaded), then the
# binding's tests, the README's two bots among them, and mypy --strict run
# against the installed package only:
#   bindings/python/test_wheel.sh MODULE SERVER WORKDIR [WHEEL]
# With WHEEL the given wheel is tested instead of building one from MODULE
# (tools/sdk_test.sh passes the archive's). Exits 77 when Debian's
# python3-venv, python3-build or python3-pytest is missing.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
module="$(realpath "$1")"
server="$(realpath "$2")"
work="$3"
wheel="${4:-}"
python=/usr/bin/python3
for mod in venv build pytest; do
  if ! "$python" -c "import $mod" 2>/dev/null; then
    echo "skipped: $python has no $mod (tools/setup.sh installs python3-$mod)"; exit 77
  fi
done
rm -rf "$work"
mkdir -p "$work"
work="$(realpath "$work")"
if [ -z "$wheel" ]; then
  "$here/build_wheel.sh" "$module" "$work/dist"
  wheel=$(echo "$work"/dist/kelvo-*-linux_*.whl)
fi
echo "=== wheel: $(basename "$wheel")"
unset KELVO_MODULE PYTHONPATH
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PYTHONDONTWRITEBYTECODE=1

# 1. A bare environment: the wheel needs nothing else, and finds the module
#    it carries.
"$python" -m venv "$work/bare"
"$work/bare/bin/pip" install -q "$wheel"
(cd "$work" && "$work/bare/bin/python" - <<'PY'
import os, sys
import kelvo, kelvo.aio
assert kelvo.__file__.startswith(sys.prefix), kelvo.__file__
with kelvo.Client() as c:
    pass
with kelvo.SharedLoop() as loop:
    assert loop.wait_handle() is None
# The Locust user class is an optional extra: without Locust it says so.
try:
    import kelvo.locust
except ImportError as exc:
    assert "needs Locust" in str(exc), exc
else:
    raise AssertionError("kelvo.locust imported without Locust")
print("bare venv: kelvo %s from %s" % (kelvo.__version__, os.path.dirname(kelvo.__file__)))
PY
)
"$work/bare/bin/pip" list --format=freeze | sed 's/^/bare venv: /'

# 2. The tests, against the installed package: the venv sees the system's
#    site-packages only for Debian's python3-pytest (pip cannot fetch it).
"$python" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install -q "$wheel"
mkdir "$work/run"
cp -r "$here/tests" "$here/README.md" "$work/run/"
(cd "$work/run" && KELVO_TEST_INSTALLED=1 KELVO_SERVER="$server" \
   "$work/venv/bin/python" -m pytest -q -p no:cacheprovider tests)

# 3. The installed package as a type checker sees it (py.typed).
if command -v mypy >/dev/null; then
  (cd "$work/run" && mypy --strict --no-incremental --python-executable "$work/venv/bin/python" -p kelvo)
else
  echo "mypy is not installed (tools/setup.sh installs it)"; exit 1
fi
