#!/usr/bin/env bash
# Starts the application on the desktop with the example parameter set and
# macros, copied into a folder of their own so the examples stay untouched.
# Usage: run-app.sh [FOLDER [PARAMETER-SET-FILE]]
#   FOLDER: where parameters, macros and the log live (default: a new folder
#   below /tmp; an existing one keeps its settings between runs).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
app="$root/build/quorvane"
if [ ! -x "$app" ]; then
  bash "$root/scripts/setup.sh"
  bash "$root/scripts/build.sh" "$root/build" >/dev/null
fi
if [ $# -gt 0 ]; then
  work=$1
  shift
else
  work=$(mktemp -d /tmp/quorvane-desktop-XXXXXX)
fi
mkdir -p "$work/params/defaults" "$work/macros" "$work/log"
# The example set becomes the defaults of a fresh parameter folder; files
# the operator changed in an existing folder are kept.
cp -n "$root"/examples/params/* "$work/params/defaults/"
cp -n "$root"/examples/macros/* "$work/macros/"
cp -n "$root"/examples/*.nc "$work/" 2>/dev/null || true
echo "parameters: $work/params  macros: $work/macros  log: $work/log/log.txt  programs: $work"
cd "$work"
QUORVANE_PARAM_DIR="$work/params" QUORVANE_MACRO_DIR="$work/macros" QUORVANE_LOG_DIR="$work/log" exec "$app" "$@"
