#!/usr/bin/env bash
# Counts non-blank, non-comment lines of the .cpp and .h files: the tests (tests/ and fuzz/)
# against the code (src/ and bench/), and the share of one in the other. A line that holds only a
# // comment, or lies wholly inside a /* */ block, is a comment line.
set -euo pipefail
cd "$(dirname "$0")/.."

count() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 cat | awk '
    {
      line = $0
      sub(/^[ \t]+/, "", line)
      if (in_block) {
        if (index(line, "*/") == 0) next
        in_block = 0
        line = substr(line, index(line, "*/") + 2)
        sub(/^[ \t]+/, "", line)
      }
      if (line == "" || line ~ /^\/\//) next
      if (line ~ /^\/\*/) {
        if (index(line, "*/") == 0) { in_block = 1; next }
        rest = substr(line, index(line, "*/") + 2)
        sub(/^[ \t]+/, "", rest)
        if (rest == "" || rest ~ /^\/\//) next
      }
      n++
    }
    END { print n + 0 }'
}

tests=$(count tests fuzz)
code=$(count src bench)
echo "tests $tests"
echo "code  $code"
awk -v t="$tests" -v c="$code" 'BEGIN { printf "share %.1f%%\n", 100 * t / c }'
