#!/usr/bin/env bash
# Builds and runs every test: the format check, then each test workflow.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/format-check.sh
cmake --workflow --preset native
cmake --workflow --preset sanitize
cmake --workflow --preset windows-x86
