#!/usr/bin/env bash
# Fails when a C++ source under native/ is not laid out as .clang-format says; prints the places.
# `CLANG_FORMAT` names the binary (default: clang-format on PATH, from the lint extra).
set -euo pipefail
cd "$(dirname "$0")/.."

clang_format="${CLANG_FORMAT:-clang-format}"
find native \( -name '*.cpp' -o -name '*.hpp' \) -print0 | sort -z |
    xargs -0 "$clang_format" --dry-run -Werror
