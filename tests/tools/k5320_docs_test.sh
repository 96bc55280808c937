#!/usr/bin/env bash
# The k5320 manual page renders without a warning and names every command the tool has; the
# bash completion is valid bash and offers every command.
set -uo pipefail
page=$1
completion=$2
tool=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "man --warnings: $warnings"
text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
commands=$("$tool" --help | sed -n 's/^  \([a-z]*\) .*/\1/p' | sort -u)
[ -n "$commands" ] || fail "k5320 --help lists no commands"
for command in $commands; do
  grep -q "^   $command\$" <<<"$text" || fail "the manual page has no section for $command"
  grep -q "\\b$command\\b" "$completion" || fail "the completion does not offer $command"
done
bash -n "$completion" || fail "the completion is not valid bash"
(source "$completion" && complete -p k5320 >/dev/null) || fail "the completion does not complete k5320"

[ $failures -eq 0 ] && echo "k5320 docs: all checks passed"
exit $failures
