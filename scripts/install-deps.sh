#!/bin/sh
# Installs the Debian 12 packages Tavrik needs to build, test and benchmark.
# Only packages that are missing are installed; needs root or sudo for that.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config
qt6-base-dev qt6-base-dev-tools qt6-translations-l10n libgl-dev
libutf8proc-dev libgtest-dev libgmock-dev
xvfb xauth x11-utils imagemagick
clang-format strace e2fsprogs util-linux rsync tzdata python3-xlib fonts-dejavu-core fonts-liberation"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

[ -z "$missing" ] && exit 0

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
