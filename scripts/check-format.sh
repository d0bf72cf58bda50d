#!/usr/bin/env bash
# Fails when a C or C++ source under src, tests, tools, fuzz or bench differs from what
# clang-format makes of it with the root .clang-format. To fix: run it with --fix.
set -euo pipefail
shopt -s inherit_errexit
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files -- src tests tools fuzz bench |
                       grep -E '\.(c|cc|cpp|h|hpp)$')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}"; then
  echo "check-format: the files above are not formatted (scripts/check-format.sh --fix)" >&2
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
