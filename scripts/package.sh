#!/usr/bin/env bash
# Builds the Debian packages kestrel and kestrel-service into dist/, checks
# them with lintian, installs them into a throwaway root with their
# maintainer scripts and checks where the files land.
#   scripts/package.sh            build and check
#   scripts/package.sh --build    build only
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)

bash scripts/install-deps.sh
# The npm tarballs first: the package build itself uses no network.
bash scripts/fetch-sources.sh

# dpkg-buildpackage works in the source tree and writes the packages beside
# it: build from a copy of the files git knows, as they are now.
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar -c --null -T - | tar -x -C "$work/src"
(cd "$work/src" && DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
   dpkg-buildpackage -us -uc -b)
rm -rf dist
mkdir dist
mv "$work"/*.deb "$work"/*.buildinfo "$work"/*.changes dist/
ls -l dist
[ "${1:-}" = "--build" ] && exit 0

bash scripts/check-packages.sh dist
