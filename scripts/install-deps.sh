#!/bin/sh
# Installs the Debian 12 packages Tavrik needs to build, test, benchmark and package.
# Only packages that are missing are installed; needs root or sudo for that.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config
qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
libutf8proc-dev libssl-dev librsync-dev libb2-dev libgtest-dev libgmock-dev
xvfb xauth x11-utils imagemagick
clang-format strace e2fsprogs util-linux rsync tzdata python3-xlib fonts-dejavu-core fonts-liberation git
fuse3 fusefat dosfstools exfat-fuse exfatprogs sshfs socat openssh-sftp-server
openssh-client openssh-server
debhelper dpkg-dev fakeroot lintian desktop-file-utils appstream groff-base groff man-db
xdg-utils bash-completion zsh fish"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

# The real-file-system tests mount through FUSE: load the module where /dev/fuse is missing.
load_fuse() {
  [ -e /dev/fuse ] && return 0
  if [ "$(id -u)" -eq 0 ]; then modprobe fuse 2>/dev/null || true
  elif command -v sudo >/dev/null 2>&1; then sudo modprobe fuse 2>/dev/null || true; fi
  [ -e /dev/fuse ] || echo "install-deps: no /dev/fuse; the FAT, exFAT and sshfs tests will skip" >&2
}

if [ -z "$missing" ]; then
  load_fuse
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  SUDO=""
elif command -v sudo >/dev/null 2>&1; then
  SUDO="sudo"
else
  echo "install-deps: missing packages:$missing (run as root or install sudo)" >&2
  exit 1
fi

echo "install-deps: installing$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
load_fuse
