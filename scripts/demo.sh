#!/usr/bin/env bash
# Runs the dashboard process against the simulator. The process itself does not
# exist yet; until it does, this says so plainly.
set -euo pipefail
echo "halyard: the dashboard process is not built yet; only the support library and its tests exist."
echo "Run scripts/test.sh to build and test what exists."
