#!/usr/bin/env bash
# Cuts a text command script down to a short run that still updates the
# reader from start to end: its head, its first N commands and its last
# command (the restart). A command is every line from its first "SEND:" up to
# its "SLEEP:" or "WAIT:" line.
#
#   bash scripts/shorten-script.sh N IN OUT
set -euo pipefail
[ $# = 3 ] || { echo "usage: $0 N IN OUT" >&2; exit 64; }
awk -v keep="$1" '
  /^END>/ { exit }
  !started && !/^SEND:/ { head = head $0 "\n"; next }
  { started = 1; cmd = cmd $0 "\n" }
  /^(SLEEP|WAIT)/ { n++; cmds[n] = cmd; cmd = "" }
  END {
    printf "%s", head
    for (i = 1; i <= keep && i < n; i++) printf "%s", cmds[i]
    printf "%s", cmds[n]
    printf "END>\r\n"
  }' "$2" > "$3"
