#!/usr/bin/env bash
# Formats the C++ sources with the repository's .clang-format; --check only reports.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h' 2>/dev/null || true)
[ ${#files[@]} -gt 0 ] || exit 0
if [ "${1:-}" = "--check" ]; then
    clang-format --dry-run --Werror "${files[@]}"
    echo "formatting ok (${#files[@]} files)"
else
    clang-format -i "${files[@]}"
fi
