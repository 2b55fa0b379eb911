#!/bin/sh
# The real window in batch mode under a virtual X server: a control file asking for the
# age comparison, the synchronisation and the end of the program. The program must end
# by itself, and afterwards both trees hold the same files with the same contents.
# usage: gui_batch.sh TAVRIK
set -u
bin=$1
unset QT_QPA_PLATFORM
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/L/sub" "$work/R/sub"
printf 'new left\n' > "$work/L/sub/changed.txt"
printf 'old right\n' > "$work/R/sub/changed.txt"
touch -d '2024-01-02 10:00:00' "$work/L/sub/changed.txt"
touch -d '2024-01-01 10:00:00' "$work/R/sub/changed.txt"
printf 'same\n' > "$work/L/same.txt"
cp -p "$work/L/same.txt" "$work/R/same.txt"
printf 'newer right\n' > "$work/R/right.txt"
printf 'older left\n' > "$work/L/right.txt"
touch -d '2023-05-05 08:00:00' "$work/L/right.txt"
touch -d '2023-06-06 08:00:00' "$work/R/right.txt"
cat > "$work/steuer.ini" <<INI
[Pfade]
Links=$work/L
Rechts=$work/R
[AutoStart]
Altersvergleich=1
Abgleich=1
Ende=1
INI
timeout 60 xvfb-run -a -s "-screen 0 1024x768x24" "$bin" "$work/steuer.ini"
status=$?
[ $status -eq 0 ] || { echo "tavrik exited with $status (124 = did not end by itself)"; exit 1; }
diff -r "$work/L" "$work/R" || { echo "trees differ after the batch run"; exit 1; }
grep -q 'new left' "$work/R/sub/changed.txt" || { echo "left file not copied to the right"; exit 1; }
grep -q 'newer right' "$work/L/right.txt" || { echo "right file not copied to the left"; exit 1; }
echo "batch run ended by itself with both trees in line"
