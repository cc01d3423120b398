#!/usr/bin/env bash
# Installs what is missing, builds the daemon's test build and the client tools
# (optimised), and runs the demo: the daemon started on demand through socket
# activation, serving a signed client and refusing wrongly signed ones.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target demo-programs
exec bash scripts/demo-run.sh build/release
