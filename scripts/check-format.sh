#!/usr/bin/env bash
# Reports the C++ files that clang-format 14 would change, among those listed
# in .clang-format-include (git pathspecs); exits 1 if there are any.
#   check-format.sh          check
#   check-format.sh --fix    format those files in place
set -euo pipefail
cd "$(dirname "$0")/.."
clang_format="${CLANG_FORMAT:-clang-format-14}"
if ! command -v "$clang_format" >/dev/null 2>&1; then
  echo "check-format: $clang_format not found (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

patterns=()
while IFS= read -r line; do
  line="${line%%#*}"
  line="$(echo "$line" | xargs)"
  [ -n "$line" ] && patterns+=("$line")
done < .clang-format-include
if [ ${#patterns[@]} -eq 0 ]; then
  echo "check-format: .clang-format-include lists no files" >&2
  exit 2
fi

files=()
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files and new ones not yet added, matching the list.
  while IFS= read -r -d '' f; do
    case "$f" in *.cpp|*.hpp|*.h|*.cc) [ -f "$f" ] && files+=("$f") ;; esac
  done < <(git ls-files -z --cached --others --exclude-standard -- "${patterns[@]}")
else
  shopt -s globstar nullglob
  for p in "${patterns[@]}"; do
    for f in $p; do files+=("$f"); done
  done
fi
if [ ${#files[@]} -eq 0 ]; then
  echo "check-format: no file matches .clang-format-include" >&2
  exit 2
fi

if [ "${1:-}" = "--fix" ]; then
  "$clang_format" -i "${files[@]}"
  echo "check-format: formatted ${#files[@]} files"
  exit 0
fi

bad=()
for f in "${files[@]}"; do
  if ! "$clang_format" --dry-run -Werror "$f" >/dev/null 2>&1; then bad+=("$f"); fi
done
if [ ${#bad[@]} -ne 0 ]; then
  echo "check-format: ${#bad[@]} of ${#files[@]} files are not formatted (scripts/check-format.sh --fix formats them):"
  for f in "${bad[@]}"; do
    echo "  $f"
    "$clang_format" "$f" | diff -u "$f" - | head -20 | sed 's/^/    /' || true
  done
  exit 1
fi
echo "check-format: ${#files[@]} files formatted"
