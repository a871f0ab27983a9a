#!/usr/bin/env bash
# Makes sure clang with libFuzzer and the sanitizer runtimes is present (for
# the fuzz targets), installing Debian's clang when it is missing; prints the
# C++ compiler to use.
set -euo pipefail

say() { echo "[fuzz-setup] $*" >&2; }

find_clang() {
  for c in clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14; do
    if command -v "$c" >/dev/null 2>&1 &&
       echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long){return 0;}' |
         "$c" -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null >/dev/null 2>&1; then
      echo "$c"
      return 0
    fi
  done
  return 1
}

if ! find_clang >/dev/null; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    say "installing Debian's clang and its libFuzzer/sanitizer runtimes"
    apt-get update -qq >/dev/null
    # Debian 12 ships clang 14, whose runtimes come in libclang-rt-14-dev.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      clang libclang-rt-dev >/dev/null 2>&1 ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      clang-14 libclang-rt-14-dev >/dev/null
  else
    say "clang with libFuzzer is missing: install clang and its runtimes and run again"
    exit 1
  fi
fi
find_clang
