#!/usr/bin/env bash
# Fetches the npm tarballs the build uses (scripts/npm-sources.txt: pinned
# version and sha512) into the cache folder outside the source tree, and
# checks each against its sha512. A tarball already there and intact is not
# fetched again. After this, a build (the Debian packages' in particular)
# needs no network. CMake runs it for a tarball it is missing.
#   scripts/fetch-sources.sh [--cache FOLDER] [PACKAGE@VERSION...]
# FOLDER: default $XDG_CACHE_HOME/kestrel, else ~/.cache/kestrel.
# Without packages, all of them.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
manifest=$here/npm-sources.txt

cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestrel
if [ "${1:-}" = "--cache" ]; then
  [ $# -ge 2 ] || { echo "usage: scripts/fetch-sources.sh [--cache FOLDER] [PACKAGE@VERSION...]" >&2; exit 2; }
  cache=$2
  shift 2
fi
wanted=("$@")

intact() { # file sha512
  [ -f "$1" ] && [ "$(sha512sum "$1" | cut -d' ' -f1)" = "$2" ]
}

mkdir -p "$cache"
found=0
while read -r package file sha512; do
  case "$package" in ''|'#'*) continue ;; esac
  if [ ${#wanted[@]} -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qxF "$package"; then
    continue
  fi
  found=$((found + 1))
  if intact "$cache/$file" "$sha512"; then
    continue
  fi
  command -v npm >/dev/null 2>&1 || { echo "fetch-sources: npm is missing (Debian package npm)" >&2; exit 1; }
  echo "fetching $package into $cache"
  work=$(mktemp -d "$cache/.fetch.XXXXXX")
  if ! (cd "$work" && npm pack "$package" --silent >/dev/null); then
    rm -rf "$work"
    echo "fetch-sources: npm pack $package failed" >&2
    exit 1
  fi
  if ! intact "$work/$file" "$sha512"; then
    rm -rf "$work"
    echo "fetch-sources: $package does not match its pinned sha512; refusing to use it" >&2
    exit 1
  fi
  mv -f "$work/$file" "$cache/$file"
  rm -rf "$work"
done <"$manifest"

if [ ${#wanted[@]} -gt 0 ] && [ "$found" -ne ${#wanted[@]} ]; then
  echo "fetch-sources: not in scripts/npm-sources.txt: ${wanted[*]}" >&2
  exit 2
fi
