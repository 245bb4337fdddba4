#!/usr/bin/env bash
# Downloads a flight from the bundled Flymaster emulator into IGC and KML
# files, the way a pilot downloads from a real instrument:
#   tools/demo.sh [FOLDER]        (default: ./demo)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$top/demo}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if [ ! -x "$top/build/velmora" ] || [ ! -x "$top/build/velmora-sim" ]; then
  need=()
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v g++ >/dev/null 2>&1 || need+=(g++)
  command -v make >/dev/null 2>&1 || need+=(make)
  [ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
  if [ ${#need[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update
    DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${need[@]}"
  fi
  (cd "$top" && cmake --preset default >/dev/null && cmake --build --preset default --target velmora velmora-sim)
fi

log="$(mktemp)"
"$top/build/velmora-sim" flymaster >"$log" &
sim=$!
trap 'kill $sim 2>/dev/null || true; wait $sim 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do
  grep -q '^PTY ' "$log" && break
  sleep 0.05
done
device="$(sed -n 's/^PTY //p' "$log" | head -n 1)"
[ -n "$device" ] || { echo "The emulator did not start"; exit 1; }

marker="$(mktemp)"
cd "$out"
"$top/build/velmora" -gy "-c$device" "-l$out/" -f1
echo
echo "Written to $out:"
find "$out" -maxdepth 1 -type f -newer "$marker" -printf '  %f\n' | sort
rm -f "$marker"
