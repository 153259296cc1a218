#!/usr/bin/env bash
# What the tests need beyond the compiler (`make serve` installs only lighttpd): lighttpd, Chromium (and the
# Inter font named first in the page's font stack, for stable screenshots), a Java
# runtime for the HTML checker, the npm packages pinned in package-lock.json, and the other
# CGI hosts the host test runs the program behind (Apache httpd, nginx with fcgiwrap), strace for the
# end-to-end kill sweep and the injected read errors, and Info-ZIP's zip and unzip and Python (its
# zipfile), which make and check the zips of the export and import tests.
set -euo pipefail
cd "$(dirname "$0")/.."
pkgs=(lighttpd lighttpd-mod-deflate chromium fonts-inter apache2 nginx fcgiwrap strace zip unzip python3)
command -v java >/dev/null || pkgs+=(default-jre-headless)
command -v npm >/dev/null || pkgs+=(nodejs npm)
scripts/deps.sh "${pkgs[@]}"
# Install scripts stay off: the packages ship everything the tests use.
if [ ! -f node_modules/.package-lock.json ] || ! cmp -s package-lock.json node_modules/.package-lock.json.src 2>/dev/null; then
  npm ci --ignore-scripts --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.package-lock.json.src
fi
