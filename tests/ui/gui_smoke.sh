#!/bin/sh
# Starts the real window under a virtual X server, takes a screenshot and checks that a
# top-level window titled "Tavrik 1.5" came up. usage: gui_smoke.sh TAVRIK SCREENSHOT.png
set -u
bin=$1
shot=$2
# The real X11 platform, whatever the GUI unit tests use.
unset QT_QPA_PLATFORM
command -v xvfb-run >/dev/null || { echo "xvfb-run missing"; exit 1; }
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
  "$0" & pid=$!
  found=""
  for i in $(seq 1 150); do
    if xwininfo -root -tree 2>/dev/null | grep -q "\"Tavrik 1.5\""; then found=1; break; fi
    sleep 0.2
  done
  sleep 0.5
  import -window root "$1" 2>/dev/null
  alive=$(kill -0 $pid 2>/dev/null && echo yes)
  kill $pid 2>/dev/null
  wait $pid 2>/dev/null
  [ -n "$found" ] || { echo "no window titled Tavrik 1.5 appeared"; exit 1; }
  [ "$alive" = yes ] || { echo "the program did not stay up"; exit 1; }
  [ -s "$1" ] || { echo "no screenshot"; exit 1; }
  echo "window up, screenshot in $1"
' "$bin" "$shot"
