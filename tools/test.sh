#!/usr/bin/env bash
# Installs what the build and the tests need (when missing), then configures,
# builds with warnings as errors and runs every test: once optimised, once
# under AddressSanitizer and UndefinedBehaviorSanitizer, then every fuzz
# target for a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v xmllint >/dev/null 2>&1 || need+=(libxml2-utils)
# The fuzz targets: clang with its libFuzzer runtime.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
compgen -G "/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a" >/dev/null || need+=(libclang-rt-dev)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
# The Syride emulator fakes hidraw nodes with umockdev (library and preload).
[ -f /usr/include/umockdev-1.0/umockdev.h ] || need+=(libumockdev-dev)
command -v umockdev-run >/dev/null 2>&1 || need+=(umockdev)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${need[@]}"
fi

cmake --workflow --preset default
cmake --workflow --preset asan
# Every fuzz target for a short while over its seeds (tools/fuzz.sh runs longer).
cmake --workflow --preset fuzz
