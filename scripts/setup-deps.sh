#!/usr/bin/env bash
# Installs what building and testing need, on Debian 12 as root.
# Does nothing (and needs no network) when everything is already there.
set -eu

need=()
want_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'ok installed' || need+=("$1"); }

for p in cmake ninja-build g++ make mingw-w64 googletest libgtest-dev \
         wine wine64 xvfb xauth locales rsync time \
         clang libclang-rt-14-dev fonts-wine fonts-dejavu-core zip unzip git \
         fusefat exfat-fuse dosfstools exfatprogs inotify-tools openssh-server sshfs qemu-user-static; do
  want_pkg "$p"
done
# The 32-bit program needs Wine's i386 half; where the kernel cannot run
# 32-bit code, qemu-user-static runs it, with Wine's preloader (cmake/wine-run.sh).
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  need+=(wine32:i386 wine32-preloader:i386)
else
  want_pkg wine32:i386
  want_pkg wine32-preloader:i386
fi

if [ ${#need[@]} -gt 0 ]; then
  [ "$(id -u)" = 0 ] || { echo "setup: missing packages (${need[*]}); run as root" >&2; exit 1; }
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# Russian locale: with it Wine's ANSI code page is 1251.
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf8$'; then
  [ "$(id -u)" = 0 ] || { echo "setup: locale ru_RU.UTF-8 missing; run as root" >&2; exit 1; }
  sed -i 's/^# *\(ru_RU.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen >/dev/null
fi
