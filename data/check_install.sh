#!/bin/sh
# Installs the build into a scratch DESTDIR with prefix /usr and checks what lands there:
# every expected file, the launcher (desktop-file-validate), the metainfo (appstreamcli,
# offline), the man pages (groff warnings), the icon sizes, and that the installed window
# finds its installed help page. usage: check_install.sh BUILD_DIR SCRATCH_DIR
set -u
build=$1
dest=$2
fail=0
bad() { echo "FAIL: $*"; fail=1; }

for tool in desktop-file-validate appstreamcli groff; do
  command -v $tool >/dev/null || { echo "SKIP: $tool missing (scripts/install-deps.sh installs it)"; exit 0; }
done

rm -rf "$dest"
DESTDIR="$dest" cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 || { cat "$dest.log"; bad "cmake --install failed"; exit 1; }
root=$dest/usr

for f in bin/tavrik bin/tavrik-cli \
         share/applications/org.example.tavrik.desktop \
         share/metainfo/org.example.tavrik.metainfo.xml \
         share/icons/hicolor/scalable/apps/org.example.tavrik.svg \
         share/man/man1/tavrik.1 share/man/man1/tavrik-cli.1 \
         share/doc/tavrik/tavrik.htm; do
  [ -f "$root/$f" ] || bad "missing $f"
done
for s in 16 22 24 32 48 64 128 256; do
  png=$root/share/icons/hicolor/${s}x${s}/apps/org.example.tavrik.png
  [ -f "$png" ] || { bad "missing ${s}x${s} icon"; continue; }
  # Width and height from the PNG header must match the folder.
  dims=$(od -An -tu1 -j16 -N8 "$png" | awk '{print $3*256+$4 "x" $7*256+$8}')
  [ "$dims" = "${s}x${s}" ] || bad "${s}x${s} icon is $dims"
done
[ -x "$root/bin/tavrik" ] && [ -x "$root/bin/tavrik-cli" ] || bad "programs not executable"

out=$(desktop-file-validate "$root/share/applications/org.example.tavrik.desktop" 2>&1)
[ $? -eq 0 ] && [ -z "$out" ] || bad "desktop-file-validate: $out"
grep -q '^Comment\[de\]=' "$root/share/applications/org.example.tavrik.desktop" || bad "no German comment"

out=$(appstreamcli validate --no-net --pedantic "$root/share/metainfo/org.example.tavrik.metainfo.xml" 2>&1)
[ $? -eq 0 ] || bad "appstreamcli validate: $out"
echo "$out" | grep -q '^[EW]:' && bad "appstreamcli warnings: $out"
grep -q '<p xml:lang="de">' "$root/share/metainfo/org.example.tavrik.metainfo.xml" || bad "no German description"
grep -q '<screenshot' "$root/share/metainfo/org.example.tavrik.metainfo.xml" || bad "no screenshot"

for m in tavrik tavrik-cli; do
  out=$(groff -man -ww -z "$root/share/man/man1/$m.1" 2>&1)
  [ -z "$out" ] || bad "groff warnings in $m.1: $out"
done

# The installed programs answer without a display.
v=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$root/bin/tavrik" --version 2>&1)
[ "$v" = "tavrik 1.5" ] || bad "tavrik --version said: $v"
v=$("$root/bin/tavrik-cli" --version 2>&1)
[ "$v" = "tavrik-cli 1.5" ] || bad "tavrik-cli --version said: $v"

[ $fail -eq 0 ] && echo "install tree under $root is complete and valid"
exit $fail
