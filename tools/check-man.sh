#!/bin/sh
# Formats every man page with all groff warnings on; any warning fails.
# Usage: check-man.sh [GROFF] [MAN_DIR]
groff=${1:-groff} dir=${2:-$(dirname "$0")/../man}
status=0
for page in "$dir"/*.1; do
    warnings=$("$groff" -ww -man -z "$page" 2>&1) || status=1
    if [ -n "$warnings" ]; then
        printf '%s\n' "$warnings"
        status=1
    fi
done
[ $status -eq 0 ] && echo "man pages clean: $(ls "$dir"/*.1 | wc -l)"
exit $status
