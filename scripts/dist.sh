#!/usr/bin/env bash
# Builds the release artefacts into dist/: the source distribution and, from it,
# a manylinux wheel for CPython 3.12. Then checks what a maintainer would
# publish: twine's metadata check, the wheel's manylinux policy, byte-identical
# modules from two different build folders, and the repaired wheel installed
# into a fresh virtual environment, running the module's tests and the Bell
# example from the unpacked source distribution alone. Run by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

if [ -n "${PYTHON:-}" ]; then PY312=$PYTHON; else PY312=$(find_python 3.12); fi
echo "== release artefacts (dist/)"
DPY=$(project_venv build/venv-dist "$PY312" scripts/requirements-dist.txt)
WORK=build/dist-check
rm -rf dist "$WORK"
mkdir -p "$WORK"

# The wheel is built from the unpacked sdist, so a file missing from the sdist
# fails here.
"$DPY" -m build --outdir dist . >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; exit 1; }
sdist=$(ls dist/*.tar.gz)
wheel=$(ls dist/*.whl)

"$DPY" -m auditwheel show "$wheel" | tr -s '\n' ' ' | sed 's/^ *//; s/$/\n/'
"$DPY" -m auditwheel repair --wheel-dir dist "$wheel" >"$WORK/repair.log" 2>&1 ||
  { cat "$WORK/repair.log"; exit 1; }
rm "$wheel"
wheel=$(ls dist/*manylinux*.whl)
"$DPY" -m twine check --strict "$sdist" "$wheel"

# The same sources built in another, deeper folder must give the same module.
mkdir -p "$WORK/elsewhere/deeper"
tar -xzf "$sdist" -C "$WORK/elsewhere/deeper"
"$DPY" -m build --wheel --outdir "$WORK/again" "$WORK"/elsewhere/deeper/zentrova-* \
  >"$WORK/again.log" 2>&1 || { cat "$WORK/again.log"; exit 1; }
for w in "$wheel" "$WORK"/again/*.whl; do
  mkdir -p "$WORK/so/$(basename "$w")"
  "$DPY" -m zipfile -e "$w" "$WORK/so/$(basename "$w")"
done
modules=("$WORK"/so/*/zentrova*.so)
if ! cmp "${modules[@]}"; then
  echo "error: two builds of the same sources in different folders differ" >&2
  exit 1
fi
echo "== the module is the same bytes when built in another folder"

# A user's machine: a fresh environment with the published wheel and nothing
# of this checkout; the tests and the example come from the unpacked sdist.
mkdir -p "$WORK/unpacked"
tar -xzf "$sdist" -C "$WORK/unpacked"
src=$(ls -d "$WORK"/unpacked/zentrova-*)
rm -rf "$WORK/venv"
"$PY312" -m venv "$WORK/venv"
RPY=$WORK/venv/bin/python
"$RPY" -m pip install -q --disable-pip-version-check "$wheel" -r "$src/scripts/requirements-test.txt"
(cd "$src" && ../../venv/bin/python -m pytest -q -p no:cacheprovider tests/python)
(cd "$src" && ../../venv/bin/python examples/bell_pair.py >/dev/null)
echo "== $(basename "$sdist") and $(basename "$wheel") are ready to publish"
