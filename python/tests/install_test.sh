#!/usr/bin/env bash
# install_test.sh PYTHON BUILD PACKAGE_DIR CMAKE
#
# The README's Python quick start on a fresh virtual environment, offline:
# the libraries installed into the environment's prefix with cmake --install,
# the package with pip (no build isolation: setuptools comes from the system),
# then the README's first Python example, which must print tag reads, with
# every library loaded from the environment.
set -euo pipefail
python=$1 build=$2 package=$3 cmake=$4
work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/ulmot-venv.XXXXXX")")
trap 'rm -rf "$work"' EXIT
cp -r "$package" "$work/src"  # pip builds in the directory it is given
"$python" -m venv --system-site-packages "$work/venv"
"$cmake" --install "$build" --prefix "$work/venv" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
"$work/venv/bin/pip" install --no-build-isolation --no-index "$work/src" >"$work/pip.log" 2>&1 ||
    { cat "$work/pip.log"; exit 1; }

# The first Python block of the README, as a user would paste it.
awk '/^```python$/ {on = 1; next} /^```$/ && on {exit} on' "$package/../README.md" >"$work/quickstart.py"
[ -s "$work/quickstart.py" ] || { echo "FAIL: no Python example in README.md"; exit 1; }
cd "$work"
output=$(env -u ULMOT_LIBRARY_PATH -u PYTHONPATH LD_LIBRARY_PATH= "$work/venv/bin/python" quickstart.py 2>/dev/null)
reads=$(grep -c -E '^[0-9A-F]{24} [1-4] -[0-9]+\.[0-9]$' <<<"$output" || true)
[ "$reads" -gt 10 ] || { echo "FAIL: the quick start printed $reads reads:"; head <<<"$output"; exit 1; }
found=$(env -u ULMOT_LIBRARY_PATH -u PYTHONPATH LD_LIBRARY_PATH= "$work/venv/bin/python" -c \
    'import ulmot, ulmot._native as n; print(n.found_in, ulmot.__file__)')
case "$found" in
"$work/venv/lib "*"$work/venv/lib/"*) ;;
*) echo "FAIL: libraries or package not from the environment: $found"; exit 1 ;;
esac
echo "the quick start printed $reads reads from $found"
