#!/usr/bin/env bash
# The limits the remote and cold benchmarks hold tavrik-cli against: the same work done by
# standard tools with PAR (default 16) requests in flight.
#   par.sh find ROOT...        stats every entry (find -printf '%T@ %s\n'; output to stdout)
#   par.sh cat ROOT...         reads every file (to /dev/null)
#   par.sh cp SRC DST LIST     copies the files named in LIST (NUL-separated, relative to
#                              SRC) over to the same places in DST with cp -p
# The first two levels of each root are walked by one find; every folder at the second
# level is a job of its own for a pool of PAR finds, so PAR folders are listed at once.
# cat then reads the files listed with PAR cats in flight, spread evenly over all files.
set -euo pipefail
: "${PAR:=16}"
what=${1:?usage: par.sh find|cat|cp ...}
shift
case $what in
  find)
    find "$@" -maxdepth 2 -printf '%T@ %s\n'
    find "$@" -mindepth 2 -maxdepth 2 -type d -print0 |
      xargs -0 -r -P "$PAR" -I{} find {} -mindepth 1 -printf '%T@ %s\n'
    ;;
  cat)
    # Listed as for find, each worker into a file of its own (parallel writers to one pipe
    # could cut names apart), then read with PAR cats over all files, whatever the folders.
    lists=$(mktemp -d)
    trap 'rm -rf "$lists"' EXIT
    find "$@" -maxdepth 2 -type f -print0 >"$lists/top"
    find "$@" -mindepth 2 -maxdepth 2 -type d -print0 |
      xargs -0 -r -P "$PAR" -I%DIR% sh -c 'find "$1" -mindepth 1 -type f -print0 >"$2/$$"' _ %DIR% "$lists"
    n=$(cat "$lists"/* | tr -cd '\0' | wc -c)
    per=$(( n / (PAR * 8) ))
    [ "$per" -lt 1 ] && per=1
    cat "$lists"/* | xargs -0 -r -P "$PAR" -n "$per" cat >/dev/null
    ;;
  cp)
    src=$1 dst=$2 list=$3
    # Files per cp: enough to keep PAR copies going, never fewer than PAR batches.
    n=$(tr -cd '\0' <"$list" | wc -c)
    per=$(( n / (PAR * 4) ))
    [ "$per" -lt 1 ] && per=1
    cd "$src"
    xargs -0 -r -P "$PAR" -n "$per" cp -p --parents -t "$dst" -- <"$list"
    ;;
  *) echo "par.sh: unknown $what" >&2; exit 64 ;;
esac
