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
