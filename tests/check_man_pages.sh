#!/bin/sh
# check_man_pages.sh PAGE...: every page formats without a warning.
# Exits 77 (skipped) when groff is not installed.
command -v groff >/dev/null 2>&1 || { echo "groff not installed: man page test skipped"; exit 77; }
status=0
for page in "$@"; do
  warnings=$(LC_ALL=C.UTF-8 groff -t -man -ww -z -Tutf8 "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page:"
    echo "$warnings"
    status=1
  fi
done
exit $status
