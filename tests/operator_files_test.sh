#!/usr/bin/env bash
# The operator's files agree with the program: every long option of --help has
# an entry in the man page and in the bash completion, --help fits 80 columns,
# the man page renders without a warning, and the alerting rules pass their
# own promtool tests. Usage: operator_files_test.sh BUILD SOURCE
set -euo pipefail
build=$1 source=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
help=$("$build/src/tools/lumenaview" --help)
long=$(awk 'length > 80' <<<"$help")
[ -z "$long" ] || fail "--help lines over 80 columns:"$'\n'"$long"
man=$source/deploy/lumenaview.1 completion=$source/deploy/bash-completion/lumenaview
for option in $(sed -n '/^Options:/,/^$/p' <<<"$help" | grep -o -- '--[a-z][a-z-]*' | sort -u); do
  grep -qF -- "${option//-/\\-}" "$man" || fail "$option is not in the man page"
  grep -qw -- "$option" "$completion" || fail "$option is not in the bash completion"
done
bash -n "$completion" || fail "bash completion syntax"
if command -v groff >/dev/null; then
  warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1)
  [ -z "$warnings" ] || fail "man page: $warnings"
else echo "SKIP: groff is not installed"; fi
cd "$source/deploy/prometheus"
promtool check rules lumena-rules.yml >/dev/null || fail "rules"
promtool test rules lumena-rules.test.yml || fail "rule tests"
echo PASS
