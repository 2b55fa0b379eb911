#!/bin/sh
# Batch run with "Zwischenablage" and "Ende" under a virtual X server with a clipboard
# manager: the list's text must reach the manager when the program ends by itself.
# usage: gui_clipboard.sh TAVRIK
set -u
bin=$1
here=$(dirname "$0")
unset QT_QPA_PLATFORM
/usr/bin/python3 -c "import Xlib" 2>/dev/null || { echo "python3-xlib missing"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/L" "$work/R"
echo a > "$work/L/a.txt"
echo b > "$work/R/b.txt"
cat > "$work/steuer.ini" <<INI
[Pfade]
Links=$work/L
Rechts=$work/R
[AutoStart]
Altersvergleich=1
Zwischenablage=1
Abgleich=1
Ende=1
INI
timeout 60 xvfb-run -a -s "-screen 0 800x600x24" sh -c '
  /usr/bin/python3 "$0" "$1/saved.txt" > "$1/manager.log" 2>&1 &
  for i in $(seq 1 50); do grep -q ready "$1/manager.log" 2>/dev/null && break; sleep 0.1; done
  "$2" "$1/steuer.ini"
  status=$?
  sleep 0.5
  exit $status
' "$here/clipboard_manager.py" "$work" "$bin"
status=$?
[ $status -eq 0 ] || { echo "tavrik exited with $status"; cat "$work/manager.log"; exit 1; }
expected=$(printf '\t? <--\tb.txt\r\na.txt\t? -->\t\r\n')
[ -f "$work/saved.txt" ] || { echo "the clipboard manager got nothing"; cat "$work/manager.log"; exit 1; }
[ "$(cat "$work/saved.txt")" = "$expected" ] || { echo "saved text differs:"; od -c "$work/saved.txt"; exit 1; }
echo "the clipboard text outlived the program"
