#!/usr/bin/env bash
# The --help texts and the man pages name the same options, command by
# command, the same commands, and --version prints the build's version.
#   tests/manpages.sh KESTREL KESTREL_SERVICE MAN_FOLDER VERSION
set -uo pipefail
kestrel=$1 service=$2 man=$3 version=$4
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The options a text names: words that begin with one or two dashes and a
# letter, after a space, a bracket or the start of a line.
options() { grep -oE '(^|[][[:space:](|])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]*//' | sort -u; }

# The tag lines (the line after .TP) of one section (.SH, or .SS without
# "Options of ") of a man page, with \- read as -.
tags() {
  awk -v want="$2" '
    /^\.S[HS] / { section = $0; sub(/^\.S[HS] +/, "", section); gsub(/"/, "", section);
                  sub(/^Options of /, "", section); gsub(/\\-/, "-", section); next }
    tag { tag = 0; if (section == want) { gsub(/\\-/, "-"); print } }
    /^\.TP/ { tag = 1 }' "$1"
}

# program | arguments for the help | man page | its section
cases=(
  "$kestrel|--help|kestrel.1|OPTIONS"
  "$service|--help|kestrel-service.1|OPTIONS"
  "$service|serve --help|kestrel-service.1|serve"
  "$service|import-track --help|kestrel-service.1|import-track"
  "$service|import-gpx --help|kestrel-service.1|import-track"
  "$service|demo --help|kestrel-service.1|demo"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r program arguments page section <<<"$entry"
  # shellcheck disable=SC2086
  help=$("$program" $arguments) || fail "$(basename "$program") $arguments: exit status $?"
  fromHelp=$(options <<<"$help")
  fromPage=$(tags "$man/$page" "$section" | sed -E 's/^\.[A-Z]+ *//' | options)
  [ -n "$fromHelp" ] || fail "$(basename "$program") $arguments names no option"
  missing=$(comm -23 <(echo "$fromHelp") <(echo "$fromPage") | tr '\n' ' ')
  extra=$(comm -13 <(echo "$fromHelp") <(echo "$fromPage") | tr '\n' ' ')
  [ -z "$missing" ] || fail "$page, $section: does not document $missing"
  [ -z "$extra" ] || fail "$page, $section: documents $extra, which $(basename "$program") $arguments does not name"
done

# The commands of the general help (the first words of the lines between
# "Commands:" and the next blank line) and the tags of COMMANDS.
helpCommands=$("$service" --help | awk '/^Commands:/ { on = 1; next } on && NF == 0 { on = 0 } on { print $1 }' | sort)
pageCommands=$(tags "$man/kestrel-service.1" COMMANDS | awk '{ print $2 }' | sort)
[ -n "$helpCommands" ] && [ "$helpCommands" = "$pageCommands" ] ||
  fail "commands: --help lists $(echo $helpCommands), the man page $(echo $pageCommands)"

for program in "$kestrel" "$service"; do
  printed=$("$program" --version)
  expected="$(basename "$program") $version"
  [ "$printed" = "$expected" ] || fail "$(basename "$program") --version printed \"$printed\", not \"$expected\""
done

[ "$failures" -eq 0 ] && echo "PASS: help texts, man pages and versions agree"
exit $((failures > 0))
