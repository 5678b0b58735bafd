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
clang-tidy --quiet -p "$build" --warnings-as-errors='*' $(git ls-files 'src/*.cpp') 2>&1 |
    grep -v '^[0-9]* warnings generated' || true
# clang-tidy's own exit status is lost in the pipe above; run it again silently for it.
# shellcheck disable=SC2086
clang-tidy --quiet -p "$build" --warnings-as-errors='*' $(git ls-files 'src/*.cpp') >/dev/null 2>&1
echo "lint: clean"
