# The manual page's OPTIONS section names every option that the usage text (--help) names, and
# the other way round.
# Usage: bash test_manual_options.sh PATH-TO-lumivet-tool
set -euo pipefail
page=$(dirname "$0")/../../share/lumivet-tool.1
fail() { echo "manual options: $*" >&2; exit 1; }

usage=$("$1" --help) || fail "--help exits with status $?"
# Options in the usage text start a word: after a space, "[" or "|".
from_usage=$(grep -oE -- '(^|[[ |])--?[a-z][a-z-]*' <<<"$usage" | grep -oE -- '--?[a-z-]+' | sort -u)
# Options in the manual are the tags of the OPTIONS section, the line after each .TP.
from_manual=$(awk '/^\.SH/ { section = $2 } section == "OPTIONS" && tag { print } { tag = ($1 == ".TP") }' "$page" |
  sed 's/\\-/-/g' | grep -oE -- '(^|[ "])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z-]+' | sort -u)

grep -qx -- --apply <<<"$from_usage" || fail "no --apply found in the usage text: $usage"
[ "$from_usage" = "$from_manual" ] ||
  fail "the usage names [${from_usage//$'\n'/ }], the manual's OPTIONS [${from_manual//$'\n'/ }]"
