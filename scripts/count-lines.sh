#!/usr/bin/env bash
# Counts the non-blank, non-comment C++ lines of the repository (files git
# tracks; Designer forms and generated files are not C++ and are not counted)
# and the share of them under tests/.
#   scripts/count-lines.sh
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  git ls-files -- "$@" | grep -E '\.(cpp|h|hpp|cc|c)$' | while read -r f; do cat "$f"; echo; done |
    awk '
      { line = $0 }
      inblock { if (index(line, "*/")) { inblock = 0; line = substr(line, index(line, "*/") + 2) } else next }
      { sub(/^[ \t]+/, "", line) }
      line ~ /^\/\*/ && !index(substr(line, 3), "*/") { inblock = 1; next }
      line == "" || line ~ /^\/\// || line ~ /^\/\*.*\*\/$/ { next }
      { n++ }
      END { print n + 0 }'
}

all=$(count .)
tests=$(count tests)
echo "C++ lines: ${all}"
echo "of them under tests/: ${tests}"
awk -v t="$tests" -v a="$all" 'BEGIN { printf "test share: %.1f %%\n", a ? 100 * t / a : 0 }'
