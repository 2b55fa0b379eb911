#!/bin/sh
# Which part of the program may include which: dependencies point one way (ui and cli over
# batch over core; inside core from the seam upwards), and core and batch include no Qt.
# A new folder of core must be given its place here before it builds into a pass.
set -eu
cd "$(dirname "$0")/.."

# Allowed include prefixes per source folder ("Q" stands for Qt headers).
allowed() {
  case "$1" in
    core/fs) echo "core/fs" ;;
    core/parallel) echo "core/parallel" ;;
    core/remote) echo "core/fs core/remote" ;;
    core/rules) echo "core/fs core/rules" ;;
    core/state) echo "core/fs core/parallel core/rules core/state" ;;
    core/list) echo "core/fs core/parallel core/rules core/state core/list" ;;
    core/compare) echo "core/fs core/parallel core/state core/list core/compare" ;;
    core/sync) echo "core/fs core/parallel core/state core/list core/sync" ;;
    core/scan) echo "core/fs core/parallel core/rules core/list core/compare core/scan" ;;
    batch) echo "core batch" ;;
    cli) echo "core batch cli" ;;
    ui) echo "core batch ui Q" ;;
    *) echo "UNKNOWN" ;;
  esac
}

status=0
for file in $(find core batch cli ui -name '*.h' -o -name '*.cpp' | sort); do
  folder=$(dirname "$file")
  rules=$(allowed "$folder")
  if [ "$rules" = UNKNOWN ]; then
    echo "layering: $folder has no place in tests/layering.sh"
    status=1
    continue
  fi
  for inc in $(sed -n 's/^#include [<"]\([^>"]*\)[>"].*/\1/p' "$file"); do
    case "$inc" in
      core/* | batch/* | cli/* | ui/* | support/*) ;;
      Q*) ;;
      *) continue ;;  # the standard library and system headers
    esac
    ok=0
    for prefix in $rules; do
      if [ "$prefix" = Q ]; then
        case "$inc" in Q*) ok=1 ;; esac
      else
        case "$inc" in "$prefix"/*) ok=1 ;; esac
      fi
    done
    if [ "$ok" = 0 ]; then
      echo "layering: $file includes $inc"
      status=1
    fi
  done
done
[ "$status" = 0 ] && echo "layering: every include points the way it may"
exit "$status"
