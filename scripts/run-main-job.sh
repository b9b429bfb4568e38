#!/usr/bin/env bash
# Installs what is needed, builds the tool, and runs its main job: a firmware
# update of the bundled simulated reader through the command-line front end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)"

if [ -x build/sim/readersim ] && [ -x build/cli/readerctl ] && [ -x scripts/demo-update.sh ]; then
  exec bash scripts/demo-update.sh build
fi
echo "main job: the simulated reader and readerctl are not built yet; the core library and tests were built."
