#!/bin/sh
# Installs the build into a scratch DESTDIR with prefix /usr and checks what lands there:
# every expected file, the launcher and the KDE service menu (desktop-file-validate), the
# Nemo action, the metainfo (appstreamcli, offline), the man pages (groff warnings), the
# icon sizes, that the launcher does not become the default folder opener (xdg-mime in a
# scratch XDG set-up), that the shell completion loads and completes the way Debian's
# bash-completion finds it, that the installed programs answer, and that the console's JSON
# rows give back every name created.
# usage: check_install.sh BUILD_DIR SCRATCH_DIR
set -u
build=$1
dest=$(realpath -m "$2")
fail=0
bad() { echo "FAIL: $*"; fail=1; }

for tool in desktop-file-validate appstreamcli groff xdg-mime bash; do
  command -v $tool >/dev/null || { echo "SKIP: $tool missing (scripts/install-deps.sh installs it)"; exit 0; }
done
[ -f /usr/share/bash-completion/bash_completion ] ||
  { echo "SKIP: bash-completion missing (scripts/install-deps.sh installs it)"; exit 0; }

rm -rf "$dest"
DESTDIR="$dest" cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 || { cat "$dest.log"; bad "cmake --install failed"; exit 1; }
root=$dest/usr

for f in bin/tavrik bin/tavrik-cli \
         share/applications/org.example.tavrik.desktop \
         share/metainfo/org.example.tavrik.metainfo.xml \
         share/icons/hicolor/scalable/apps/org.example.tavrik.svg \
         share/man/man1/tavrik.1 share/man/man1/tavrik-cli.1 \
         share/doc/tavrik/tavrik.htm \
         share/kio/servicemenus/org.example.tavrik.compare.desktop \
         share/nemo/actions/org.example.tavrik.compare.nemo_action \
         share/bash-completion/completions/tavrik-cli share/bash-completion/completions/tavrik \
         share/zsh/vendor-completions/_tavrik-cli share/zsh/vendor-completions/_tavrik \
         share/fish/vendor_completions.d/tavrik-cli.fish \
         share/fish/vendor_completions.d/tavrik.fish; do
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
grep -qx 'Exec=tavrik --folders %F' "$root/share/applications/org.example.tavrik.desktop" ||
  bad "the launcher does not pass the selected folders through --folders"

# A KDE service menu is a desktop file of type Service, for which the validator refuses the
# keys that make it one (MimeType, Actions); everything else must validate.
menu=$root/share/kio/servicemenus/org.example.tavrik.compare.desktop
out=$(desktop-file-validate "$menu" 2>&1 |
      grep -v 'key "\(MimeType\|Actions\)" is present in group "Desktop Entry", but the type is "Service"')
[ -z "$out" ] || bad "desktop-file-validate (service menu): $out"
for key in 'Type=Service' 'X-KDE-ServiceTypes=KonqPopupMenu/Plugin' 'MimeType=inode/directory;' \
           'Exec=tavrik --folders %F' 'Name\[de\]=.*'; do
  grep -qx "$key" "$menu" || bad "service menu lacks $key"
done
action=$root/share/nemo/actions/org.example.tavrik.compare.nemo_action
[ "$(head -n1 "$action")" = "[Nemo Action]" ] || bad "the Nemo action does not start with [Nemo Action]"
for key in 'Name=.*' 'Name\[de\]=.*' 'Exec=tavrik --folders %F' 'Selection=notnone' 'Extensions=dir;'; do
  grep -qx "$key" "$action" || bad "Nemo action lacks $key"
done

# Whether a desktop that honours MimeType would open folders with Tavrik: a scratch XDG
# set-up holding the installed applications and a file manager for inode/directory, asked
# with that file manager as the default, with it present but no default, and with none.
xdg=$dest.xdg
rm -rf "$xdg"
mkdir -p "$xdg/config" "$xdg/home/applications" "$xdg/system"
cp -r "$root/share/applications" "$xdg/system/"
printf '%s\n' '[Desktop Entry]' 'Type=Application' 'Name=Files' 'Exec=files %U' \
  'MimeType=inode/directory;' >"$xdg/home/applications/files.desktop"
query() {
  if command -v update-desktop-database >/dev/null; then
    update-desktop-database "$xdg/home/applications" "$xdg/system/applications" 2>/dev/null
  fi
  env -u KDE_FULL_SESSION -u KDE_SESSION_VERSION -u GNOME_DESKTOP_SESSION_ID \
    -u MATE_DESKTOP_SESSION_ID -u DESKTOP_SESSION -u XDG_MENU_PREFIX -u DBUS_SESSION_BUS_ADDRESS \
    XDG_CURRENT_DESKTOP=X-Generic XDG_CONFIG_HOME="$xdg/config" XDG_CONFIG_DIRS="$xdg/config" \
    XDG_DATA_HOME="$xdg/home" XDG_DATA_DIRS="$xdg/system" HOME="$xdg" \
    xdg-mime query default inode/directory 2>/dev/null
}
printf '%s\n' '[Default Applications]' 'inode/directory=files.desktop' >"$xdg/config/mimeapps.list"
got=$(query)
[ "$got" = files.desktop ] || bad "with a default file manager, folders open with '$got'"
rm "$xdg/config/mimeapps.list"
got=$(query)
[ "$got" = files.desktop ] || bad "with a file manager but no default, folders open with '$got'"
rm -f "$xdg/home/applications/files.desktop" "$xdg/home/applications/mimeinfo.cache"
got=$(query)
[ -z "$got" ] || bad "without a file manager, folders open with '$got'"

# The completion as bash-completion loads it on demand from the installed tree; each call
# gives the words as bash splits them ("=" a word of its own; the last one is completed)
# and prints what is offered.
completes() {
  (cd "$dest.words" && env XDG_DATA_DIRS="$root/share" BASH_COMPLETION_USER_DIR=/nonexistent \
    bash -c '
    . /usr/share/bash-completion/bash_completion
    __load_completion "$1" || { echo "no completion found for $1"; exit; }
    fn=$(complete -p "$1" | sed -n "s/.* -F \([^ ]*\) .*/\1/p")
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_LINE=${COMP_LINE// = /=}
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf "%s\n" "${COMPREPLY[@]}"' bash "$@")
}
expect() {
  want=$1
  shift
  got=$(completes "$@" | sort | tr '\n' ' ')
  [ "$got" = "$want " ] || bad "completing '$*' gave '$got', not '$want'"
}
rm -rf "$dest.words"
mkdir -p "$dest.words/sub"
: >"$dest.words/steuer.ini"
expect compare tavrik-cli co
expect --dry-run tavrik-cli sync --dr
expect retry-once tavrik-cli sync --on-error = r
expect --folders tavrik --fo
expect steuer.ini tavrik-cli run st
expect sub tavrik-cli sync s
expect sub tavrik --folders ''
# fish reports what it would offer without a terminal; zsh only gets a syntax check.
if command -v fish >/dev/null; then
  got=$(cd "$dest.words" && fish -c "source $root/share/fish/vendor_completions.d/tavrik-cli.fish
    complete -C 'tavrik-cli sync --dr'; complete -C 'tavrik-cli run st'" 2>&1 | cut -f1 | tr '\n' ' ')
  [ "$got" = "--dry-run steuer.ini " ] || bad "fish completed '$got', not '--dry-run steuer.ini'"
fi
for shell in zsh fish; do
  if command -v $shell >/dev/null; then
    for f in "$root"/share/zsh/vendor-completions/_* "$root"/share/fish/vendor_completions.d/*.fish; do
      case $f in *.fish) [ $shell = fish ] || continue ;; *) [ $shell = zsh ] || continue ;; esac
      out=$($shell -n "$f" 2>&1) || bad "$shell -n $f: $out"
    done
  fi
done

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

# The console's JSON lines, parsed back, give exactly the names created, also names with a
# tab, a line break or bytes that are not UTF-8, which no text row can carry.
if command -v python3 >/dev/null; then
  jt=$dest/json-tree
  rm -rf "$jt"; mkdir -p "$jt/L/sub" "$jt/R"
  printf 1 >"$jt/L/tab	name"; printf 2 >"$jt/L/new
line"; printf 3 >"$jt/L/$(printf 'bad\377')"; printf 4 >"$jt/L/sub/ümlaut"
  printf 5 >"$jt/R/tab	name"; printf 6 >"$jt/R/$(printf 'r\376\377')"
  "$root/bin/tavrik-cli" fill --no-user-rules --format=json "$jt/L" "$jt/R" >"$jt/rows" 2>"$jt/err" ||
    bad "tavrik-cli fill --format=json failed: $(cat "$jt/err")"
  python3 - "$jt" <<'PY' || bad "JSON rows do not give back the names created"
import base64, json, os, sys
top = sys.argv[1]
def created(side):
    base = os.fsencode(os.path.join(top, side))
    return {os.path.relpath(os.path.join(d, f), base)
            for d, _, files in os.walk(base) for f in files}
def name(row, key):
    if key + "_base64" in row:
        return base64.b64decode(row[key + "_base64"])
    return row[key].encode()
got = {"L": set(), "R": set()}
for line in open(os.path.join(top, "rows"), "rb"):
    row = json.loads(line)
    for side, key in (("L", "left"), ("R", "right")):
        if row[key] or key + "_base64" in row:
            got[side].add(name(row, key))
            assert row[key + "_size"] >= 1 and row[key + "_mtime"].endswith("Z"), row
for side in "LR":
    if got[side] != created(side):
        print("side", side, "listed", sorted(got[side]), "created", sorted(created(side)))
        sys.exit(1)
PY
else
  echo "SKIP: python3 missing, the JSON rows are not parsed back"
fi

[ $fail -eq 0 ] && echo "install tree under $root is complete and valid"
exit $fail
