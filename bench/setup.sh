#!/usr/bin/env bash
# What `make bench` needs beyond the project's own setup: Pillow and
# matplotlib in the project's .venv (from PyPI), and the command-line decoders
# of OpenJPEG and Grok (Debian's libopenjp2-tools and grokj2k-tools).  A peer
# that cannot be installed is left out of the benchmark, which says so.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { printf '[bench] %s\n' "$*" >&2; }

if ! .venv/bin/python -c 'import PIL, matplotlib' 2>/dev/null; then
  say "installing Pillow and matplotlib into .venv"
  .venv/bin/python -m pip install -q --disable-pip-version-check pillow matplotlib
fi

missing=()
command -v opj_decompress >/dev/null 2>&1 || missing+=(libopenjp2-tools)
command -v grk_decompress >/dev/null 2>&1 || missing+=(grokj2k-tools)
if [ ${#missing[@]} -gt 0 ]; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    say "installing Debian's ${missing[*]}"
    apt-get update -qq >/dev/null || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null || say "could not install ${missing[*]}: those peers are left out"
  else
    say "${missing[*]} missing (installing needs root and apt-get): those peers are left out"
  fi
fi
