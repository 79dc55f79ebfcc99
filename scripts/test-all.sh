#!/usr/bin/env bash
# Builds and runs every test: formatting, clang-tidy and ESLint, then each
# test workflow, the release build (the one users deploy) included; that one
# also drives the browser kit in Chromium against it.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/lint.sh
cmake --workflow --preset native
cmake --workflow --preset sanitize
cmake --workflow --preset release-test
cmake --workflow --preset windows-x86
# The release packages, built by scripts/package.sh; after windows-x86, whose
# Wine prefix the installer tests use.
cmake --workflow --preset packages
