#!/usr/bin/env bash
# Installs the Debian 12 packages the driver needs to build, test, package and
# run its demo.
# Run as root; packages already installed are left alone.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev
  clang libclang-rt-14-dev
  tzdata
  dpkg-dev lintian desktop-file-utils systemd
  locales libsystemd-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: these packages are missing and need root to install: ${missing[*]}" >&2
    exit 1
  fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The date-format tests compare the C locale with a Russian one; a locale that
# was never generated is simply absent (and its test row is skipped).
if ! locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$'; then
  if [[ $(id -u) -ne 0 ]]; then
    echo "install-deps: the locale ru_RU.UTF-8 is missing and needs root to generate" >&2
    exit 1
  fi
  echo "install-deps: generating the locale ru_RU.UTF-8"
  sed -i 's/^# *\(ru_RU\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ru_RU\.UTF-8 UTF-8' /etc/locale.gen || echo 'ru_RU.UTF-8 UTF-8' >> /etc/locale.gen
  locale-gen
fi
