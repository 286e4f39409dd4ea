#!/usr/bin/env bash
# Fetches the sources the builds compile in, from Debian's own source
# packages (apt-get source, the versions Debian 12 builds its packages
# from), into third_party/:
#   libspng 0.7.3, the PNG reader of --import, for the static Linux tool and
#     the Windows one, where no package offers a library to link;
#   libdeflate 1.14, the PNG writer's compression, for the Windows tool and
#     the page (the Linux tools link Debian's libdeflate-dev, the same
#     version, so that every build writes the same bytes).
# Each package is unpacked once into a cache (KESTRUNE_SOURCE_CACHE, else
# ~/.cache/kestrune-sources) and copied from there into each clone. Debian
# 12 lists no source packages by default: run as root, this adds them to
# the list first.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=${KESTRUNE_SOURCE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kestrune-sources}

fetch() { # package, Debian version, a file the unpacked source must have
  local package=$1 version=$2 file=$3
  local folder=$package-${version%-*}
  [ -f "third_party/$folder/$file" ] && return 0
  if [ ! -f "$cache/$folder/$file" ]; then
    local list=/etc/apt/sources.list.d/debian.sources
    if [ "$(id -u)" = 0 ] && [ -f "$list" ] && ! grep -q 'deb-src' "$list"; then
      sed -i 's/^Types: deb$/Types: deb deb-src/' "$list"
      apt-get update -qq
    fi
    command -v dpkg-source > /dev/null || { echo "fetch_sources.sh: dpkg-source is missing (apt-get install dpkg-dev)" >&2; exit 1; }
    local unpacked
    unpacked=$(mktemp -d "${TMPDIR:-/tmp}/kestrune-source.XXXXXX")
    (cd "$unpacked" && apt-get source -qq "$package=$version" > /dev/null 2>&1)
    [ -f "$unpacked/$folder/$file" ] || { echo "fetch_sources.sh: apt-get source $package=$version failed" >&2; exit 1; }
    mkdir -p "$cache"
    rm -rf "${cache:?}/$folder"
    mv "$unpacked/$folder" "$cache/$folder"
    rm -rf "$unpacked"
  fi
  mkdir -p third_party
  cp -R "$cache/$folder" third_party/
}

fetch libspng 0.7.3-3 spng/spng.c
fetch libdeflate 1.14-1 lib/deflate_compress.c
