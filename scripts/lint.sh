#!/usr/bin/env bash
# Formatting and clang-tidy over the program's and the drivers' sources: what
# the Linux build compiles, then the Windows-only sources as the 32-bit
# MinGW-w64 cross build compiles them; ESLint over the browser kit and its
# tests. Fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean"

# compiled_sources BUILD_DIR: our .cpp files that the build compiles, as its
# compilation database says.
compiled_sources() {
    /usr/bin/python3 -c '
import json, os, sys
root = os.getcwd() + "/"
for entry in json.load(open(sys.argv[1])):
    path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
    if path.startswith(root) and path.endswith(".cpp"):
        print(path[len(root):])' "$1/compile_commands.json" | sort -u
}

# ESLint as package-lock.json pins it (npm ci, in the set-up script).
if [ ! -x node_modules/.bin/eslint ]; then
    echo "ESLint is not installed: run scripts/setup-debian.sh (or npm ci)" >&2
    exit 1
fi
node_modules/.bin/eslint --max-warnings 0 .
echo "eslint: $(git ls-files '*.js' | wc -l) files clean"

build=build/lint
cmake -S . -B "$build" -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELLICOR_BUILD_TESTS=OFF >/dev/null
mapfile -t compiled < <(compiled_sources "$build")
clang-tidy --quiet -p "$build" "${compiled[@]}" 2>/dev/null
echo "clang-tidy: ${#compiled[@]} files clean"

# The *_win32.cpp files and the MSI package's custom actions, which the Linux
# build never sees. clang, targeting MinGW-w64, finds the MinGW headers in the
# sysroot but not the cross g++'s C++ library (its folder is named "12-posix",
# not a version clang recognises), so those folders are passed as the cross
# g++ itself lists them.
build=build/lint-windows
cmake -S . -B "$build" -G Ninja --toolchain cmake/i686-w64-mingw32.cmake \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELLICOR_BUILD_TESTS=OFF >/dev/null
mapfile -t compiled < <(compiled_sources "$build" | grep -E '_win32\.cpp$|^packaging/windows/')
mkdir -p "$build/tidy"
# CMake gives MinGW DLLs a flag of GCC's own that clang rejects: the database
# clang-tidy reads is a copy without it.
cross_cxx=$(/usr/bin/python3 -c '
import json, shlex, sys
entries = json.load(open(sys.argv[1]))
for entry in entries:
    entry["command"] = entry["command"].replace(" -fno-keep-inline-dllexport", "")
json.dump(entries, open(sys.argv[2], "w"))
entry = next(e for e in entries if e["file"].endswith(".cpp"))
print(shlex.split(entry["command"])[0])' "$build/compile_commands.json" "$build/tidy/compile_commands.json")
mapfile -t searched < <("$cross_cxx" -E -x c++ -v - </dev/null 2>&1 | sed -n 's/^ \(\/.*\)$/\1/p')
cross_args=(--extra-arg-before=--target=i686-w64-mingw32 --extra-arg=-nostdinc++)
for dir in "${searched[@]}"; do
    case "$dir" in
        */include/c++*) cross_args+=("--extra-arg=-isystem$dir") ;;
        */mingw32/include) cross_args+=("--extra-arg=--sysroot=$(realpath "$dir/..")") ;;
    esac
done
clang-tidy --quiet -p "$build/tidy" "${cross_args[@]}" "${compiled[@]}" 2>/dev/null
echo "clang-tidy (Windows): ${#compiled[@]} files clean"
