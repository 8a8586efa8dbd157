#!/usr/bin/env bash
# Sets up what is missing, then runs the main job on generated sample data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/ingest_sample.py "$@"
