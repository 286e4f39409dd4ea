#!/usr/bin/env bash
# Fetches the source of libspng from Debian's own source package (apt-get
# source, the version Debian 12 builds libspng0 from) into third_party/,
# for the builds that compile it in: the static Linux tool and the Windows
# one, where no package offers a library to link. Debian 12 lists no source
# packages by default: run as root, this adds them to the list first.
set -euo pipefail
cd "$(dirname "$0")/.."
version=0.7.3-3
folder=third_party/libspng-${version%-*}
[ -f "$folder/spng/spng.c" ] && exit 0
list=/etc/apt/sources.list.d/debian.sources
if [ "$(id -u)" = 0 ] && [ -f "$list" ] && ! grep -q 'deb-src' "$list"; then
  sed -i 's/^Types: deb$/Types: deb deb-src/' "$list"
  apt-get update -qq
fi
command -v dpkg-source > /dev/null || { echo "fetch_libspng.sh: dpkg-source is missing (apt-get install dpkg-dev)" >&2; exit 1; }
mkdir -p third_party
(cd third_party && apt-get source -qq "libspng=$version" > /dev/null)
[ -f "$folder/spng/spng.c" ]
