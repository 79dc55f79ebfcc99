#!/usr/bin/env bash
# Formatting and clang-tidy over the program's and the drivers' sources for
# the platform at hand; fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

build=build/lint
cmake -S . -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELLICOR_BUILD_TESTS=OFF >/dev/null
# Only what this platform compiles: the compilation database says which.
mapfile -t compiled < <(/usr/bin/python3 -c '
import json, os, sys
root = os.getcwd() + "/"
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(root) and path.endswith(".cpp"):
        print(path[len(root):])' "$build/compile_commands.json" | sort -u)
clang-tidy --quiet -p "$build" "${compiled[@]}" 2>/dev/null
echo "clang-tidy: ${#compiled[@]} files clean"
