#!/usr/bin/env bash
# The lint checks CI runs after the tests; the tools come from the lint extra and are on PATH.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "=== ruff $(ruff --version | cut -d' ' -f2)"
ruff check .
