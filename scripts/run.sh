#!/usr/bin/env bash
# Installs what is needed, builds, and starts the player (needs a display and a sound server).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh build
exec ./build/tellwick
