#!/usr/bin/env bash
# Installs what the build and the tests need (when missing), then configures,
# builds with warnings as errors and runs every test: once optimised, once
# under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v xmllint >/dev/null 2>&1 || need+=(libxml2-utils)
command -v groff >/dev/null 2>&1 || need+=(groff-base)
command -v man >/dev/null 2>&1 || need+=(man-db)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${need[@]}"
fi

cmake --workflow --preset default
cmake --workflow --preset asan
