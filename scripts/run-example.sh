#!/usr/bin/env bash
# Sets up the machine, builds the command-line program and runs a part program.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
exec build/tools/quorvane-cli run --params examples/params --macros examples/macros examples/pocket.nc
