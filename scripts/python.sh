# Sourced by the other scripts: finding CPython by version, and the project's
# own virtual environments for tests and releases under build/, so that test
# and release tools never go into the user's own interpreter.

# Prints the path of CPython $1 (3.12, 3.13) itself, or fails. pyenv exposes a
# version only where .python-version or PYENV_VERSION selects it, so it is
# asked by version; a python3.X found on PATH otherwise serves too.
find_python() {
  local version=$1 exe
  exe=$(PYENV_VERSION=$version "python$version" -c \
        'import sys; print(sys.executable)' 2>/dev/null) || return 1
  "$exe" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$version'.split('.')))" \
    2>/dev/null || return 1
  printf '%s\n' "$exe"
}

# Prints the interpreter to use for CPython $1: the one PYTHON names if set,
# else find_python's; or fails, saying what to install (so that under set -e
# PY=$(require_python 3.12) ends the script with that message).
require_python() {
  local version=$1 exe
  if [ -n "${PYTHON:-}" ]; then
    printf '%s\n' "$PYTHON"
  elif exe=$(find_python "$version"); then
    printf '%s\n' "$exe"
  else
    echo "error: CPython $version not found (pyenv install $version, or put python$version on PATH," \
         "or name an interpreter in PYTHON)" >&2
    exit 1
  fi
}

# Makes (or brings up to date) the virtual environment $1 on interpreter $2 with
# the packages of the requirement files that follow, and prints its python.
# A stamp of the files' contents skips pip when nothing changed.
project_venv() {
  local dir=$1 base=$2; shift 2
  local stamp="$dir/.zentrova-requirements" want
  want=$(cat "$@" | sha256sum | cut -d' ' -f1)
  if [ ! -x "$dir/bin/python" ] || ! "$dir/bin/python" -c '' 2>/dev/null; then
    rm -rf "$dir"
    "$base" -m venv "$dir" >&2
  fi
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    local req_args=()
    for f in "$@"; do req_args+=(-r "$f"); done
    "$dir/bin/python" -m pip install -q --disable-pip-version-check "${req_args[@]}" >&2
    printf '%s\n' "$want" >"$stamp"
  fi
  printf '%s\n' "$dir/bin/python"
}

# plugin_tests NAME EXTRAS VERSION: a plugin's tests, tests/plugins/NAME, in
# build/venv-NAME (made from scripts/requirements-NAME.txt), with zentrova
# installed from this checkout with EXTRAS; VERSION is Python code printing the
# framework's version for the log.
plugin_tests() (
  local name=$1 extras=$2 version=$3 py vpy
  py=$(require_python 3.12)
  echo "== $name plugin: environment build/venv-$name (on $py)"
  vpy=$PWD/$(project_venv "build/venv-$name" "$py" "scripts/requirements-$name.txt")
  # CMake and Ninja from that environment, for building zentrova without an
  # isolated build environment.
  export PATH="$PWD/build/venv-$name/bin:$PATH"
  "$vpy" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C "build-dir=build/module-$name" ".[$extras]"
  echo "== $name plugin tests ($("$vpy" -c "$version"))"
  # From inside the test folder, so that the checkout's plugins/ cannot shadow
  # the installed package: the tests see what pip installed.
  cd "tests/plugins/$name"
  "$vpy" -m pytest -q -p no:cacheprovider .
)
