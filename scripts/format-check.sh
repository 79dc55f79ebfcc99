#!/usr/bin/env bash
# Fails when any C or C++ source differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h' 2>/dev/null ||
                       find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) -print)
clang-format --dry-run --Werror "${sources[@]}"
echo "format: ${#sources[@]} files clean"
