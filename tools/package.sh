#!/usr/bin/env bash
# Builds the Debian package the way a distribution would (Debian's hardening
# flags, tests and benchmarks left out) in build-deb/, lists it and checks it
# with lintian; prints how long each step took and how big the package is.
#   tools/package.sh        -> build-deb/velmora_<version>_<arch>.deb
# Installs the Debian packages it needs when missing, as root or through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v make >/dev/null 2>&1 || need+=(make)
command -v dpkg-shlibdeps >/dev/null 2>&1 || need+=(dpkg-dev)
command -v lintian >/dev/null 2>&1 || need+=(lintian)
if [ ${#need[@]} -gt 0 ]; then
  echo "Installing: ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${need[@]}"
fi

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f s", b - a }'; }

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS

t=$(seconds)
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF >/dev/null
cmake --build build-deb -j2
build_time=$(elapsed "$t")

t=$(seconds)
rm -f build-deb/velmora_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
pack_time=$(elapsed "$t")
deb=$(ls build-deb/velmora_*.deb)

dpkg-deb -c "$deb"
dpkg-deb -f "$deb" Package Version Architecture Depends Installed-Size
t=$(seconds)
lintian --fail-on error "$deb"
lint_time=$(elapsed "$t")

echo "package: $deb, $(stat -c %s "$deb") bytes"
echo "build: $build_time, cpack: $pack_time, lintian: $lint_time"
