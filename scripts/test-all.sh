#!/usr/bin/env bash
# Builds and runs every test: formatting and clang-tidy, then each test
# workflow, the release build (the one users deploy) included.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/lint.sh
cmake --workflow --preset native
cmake --workflow --preset sanitize
cmake --workflow --preset release-test
cmake --workflow --preset windows-x86
