#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet.
# Needs root for apt-get; without root it only reports what is missing.
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root or install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Several checkouts may install at once: wait for the package lock instead of failing.
apt-get -o DPkg::Lock::Timeout=600 update -qq
apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
