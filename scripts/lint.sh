#!/usr/bin/env bash
# Fails when a C++ source differs from its clang-format layout.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.cpp' '*.h' '*.ipp')
clang-format --dry-run --Werror $files
echo "clang-format: $(echo "$files" | wc -l) files clean"
