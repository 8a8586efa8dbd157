#!/usr/bin/env bash
# Sets up what is missing, then runs the main job: the whole pipeline on a
# generated pen recording (examples/pen_pipeline.py; --quick for a smaller scene).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
.venv/bin/python examples/pen_pipeline.py "$@"
