#!/usr/bin/env bash
# Installs every Debian package that building, running and testing P_Update needs.
# With --windows also what the Windows build needs: the mingw-w64 cross compiler, the
# GoogleTest sources it builds GoogleTest from, and Wine to run its tests.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libgtest-dev googletest
  unixodbc unixodbc-dev odbcinst
  libsqliteodbc sqlite3
  odbc-postgresql postgresql postgresql-client
  tdsodbc freetds-bin python3
  qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  qt6-translations-l10n libgl-dev
  fonts-wqy-microhei fontconfig
  xvfb xauth openbox imagemagick
  locales
  clang libclang-rt-14-dev llvm
)
if [ "${1:-}" = "--windows" ]; then
  packages+=(g++-mingw-w64-x86-64-posix googletest wine wine64)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Wine's own texts (the buttons of a message box read 是(Y)/否(N)) and the pictures of the
# Windows windows are Chinese in a zh_CN.UTF-8 locale.
if ! locale -a 2>/dev/null | grep -qix 'zh_CN.utf8'; then
  $SUDO sed -i 's/^# *\(zh_CN.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  $SUDO locale-gen >/dev/null
fi
