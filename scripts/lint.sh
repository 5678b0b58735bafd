#!/bin/sh
# Checks the library's sources against .clang-format and .clang-tidy; changes
# nothing. Run by .ci/run after the tests. `lint.sh BUILD_DIR` takes the compile
# commands of that build (configured with CMAKE_EXPORT_COMPILE_COMMANDS, as ours are).
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
./scripts/install-deps.sh lint
files=$(git ls-files 'src/*.cpp' 'src/*.h')
echo "lint: clang-format on $(echo "$files" | wc -l) files"
# shellcheck disable=SC2086
clang-format --dry-run -Werror $files
echo "lint: clang-tidy"
# shellcheck disable=SC2086
# The tests compile a few library sources with gcc-only options; clang-tidy is
# told to pass over options it does not know.
clang-tidy --quiet -p "$build" --extra-arg=-Wno-unknown-warning-option --warnings-as-errors='*' \
    $(git ls-files 'src/*.cpp')
echo "lint: clean"
