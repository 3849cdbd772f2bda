#!/usr/bin/env bash
# Renders the voucher dialog in its main states into docs/img/dialog-<state>.png: under Xvfb
# when xvfb-run is there (a real X display), else on Qt's offscreen platform.
# Usage: scripts/dialog-screenshots.sh [BUILD_DIR]   (default: build)
set -euo pipefail

if [[ "${1:-}" == "--help" || "${1:-}" == "-h" ]]; then
  sed -n '2,4p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
out="$root/docs/img"

if [[ ! -f "$build/build.ninja" && ! -f "$build/Makefile" ]]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target dovra-dialog-screenshots -j2 >/dev/null
program="$build/bin/dovra-dialog-screenshots"
mkdir -p "$out"

# The money text follows the environment's locale; keep the pictures the same everywhere.
export LC_ALL=C.UTF-8
# Qt wants a private runtime folder; give it one rather than have it complain.
if [[ -z "${XDG_RUNTIME_DIR:-}" ]]; then
  XDG_RUNTIME_DIR="$(mktemp -d)"
  export XDG_RUNTIME_DIR
  trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
fi
if command -v xvfb-run >/dev/null 2>&1; then
  xvfb-run -a -s "-screen 0 1024x768x24" "$program" "$out"
else
  QT_QPA_PLATFORM=offscreen "$program" "$out"
fi
ls "$out"/dialog-*.png
