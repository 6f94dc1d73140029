#!/usr/bin/env bash
# scripts/stage.sh TITLE LOG COMMAND...: one stage of `make test`. Runs each
# COMMAND (a shell command line) in turn, up to the first that fails, with
# all their output in LOG. Prints TITLE with LOG's path, then the summary:
# ctest's when the stage ran ctest, or else the last line of LOG. On a
# failure that is ctest's list of failed tests or else the last 40 lines of
# LOG, and the stage fails with the command's status.
set -uo pipefail
title=$1
log=$2
shift 2
mkdir -p "$(dirname "$log")"
: > "$log"
echo "== $title (output in $log)"
status=0
for command in "$@"; do
  echo "\$ $command" >> "$log"
  bash -o pipefail -c "$command" >> "$log" 2>&1 || { status=$?; break; }
done

# ctest's summary runs from its "N% tests passed" line to the end, less its
# time and its lines about its own log.
summary=$(sed -n '/^[0-9]*% tests passed, /,$p' "$log" | grep -v -e '^$' -e '^Total Test time' \
  -e '^Errors while running CTest' -e '^Output from these tests are in' -e '^Use "--rerun-failed')
if [[ -z $summary ]]; then
  summary=$(tail -n $((status == 0 ? 1 : 40)) "$log")
fi
# Without the colours of clang-tidy and the sanitizers.
sed 's/\x1b\[[0-9;]*m//g' <<< "$summary"
if ((status != 0)); then
  echo "FAILED: $title (exit status $status); the whole output is in $log"
fi
exit "$status"
