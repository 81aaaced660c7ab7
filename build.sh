#!/usr/bin/env bash
# The main command: installs what is missing, builds every deliverable into out/.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
scripts/build-trees.sh
