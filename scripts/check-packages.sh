#!/usr/bin/env bash
# Checks the Debian packages in FOLDER (scripts/package.sh builds them):
# lintian finds no error; installed into a throwaway root with dpkg, their
# maintainer scripts run and the files land where the policy says; both
# programs run from there and tell the package's version; the system
# service's hardening is scored.
#   scripts/check-packages.sh FOLDER
set -euo pipefail
folder=${1:?usage: scripts/check-packages.sh FOLDER}
id=io.github.kestrel_geotag.Kestrel
failed=0
fail() { echo "FAILED: $*" >&2; failed=1; }

echo "== lintian"
lintian --fail-on error --info --tag-display-limit 0 "$folder"/*.changes || fail "lintian reports errors"

echo "== install into a throwaway root"
root=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-root.XXXXXX")
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/etc/passwd" "$root/etc/group" "$root/etc/shadow" "$root/etc/gshadow"
# The maintainer scripts run outside a chroot with DPKG_ROOT set, as dpkg
# does for a root without a shell of its own; the packages' dependencies are
# not in that root.
dpkg --root="$root" --log=/dev/null --force-script-chrootless --force-depends --force-not-root \
  --install "$folder"/kestrel-service_*.deb "$folder"/kestrel_*.deb || fail "dpkg could not install the packages"
grep -q '^_kestrel:' "$root/etc/passwd" || fail "the system user _kestrel was not created"

expect() { # package path...
  local package=$1
  shift
  for path in "$@"; do
    [ -e "$root$path" ] || fail "$package: $path is missing"
    dpkg-query --admindir="$root/var/lib/dpkg" -S "$path" 2>/dev/null | grep -q "^$package: " \
      || fail "$path does not belong to $package"
  done
}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
expect kestrel /usr/bin/kestrel /usr/share/applications/$id.desktop /usr/share/metainfo/$id.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/$id.svg /usr/share/icons/hicolor/48x48/apps/$id.png \
  /usr/share/icons/hicolor/256x256/apps/$id.png /usr/share/mime/packages/$id.xml \
  /usr/share/man/man1/kestrel.1.gz /usr/lib/systemd/user/kestrel-service.service \
  /usr/lib/$multiarch/kestrel/libkestrel_ui.so /usr/share/doc/kestrel/copyright
expect kestrel-service /usr/bin/kestrel-service /lib/systemd/system/kestrel-service.service \
  /lib/systemd/system/kestrel-service@.service /etc/kestrel/kestrel-service.conf \
  /usr/lib/sysusers.d/kestrel-service.conf /usr/share/man/man1/kestrel-service.1.gz \
  /usr/lib/$multiarch/kestrel/libservice_http.so /usr/share/doc/kestrel-service/copyright
grep -qx /etc/kestrel/kestrel-service.conf "$root/var/lib/dpkg/info/kestrel-service.conffiles" \
  || fail "/etc/kestrel/kestrel-service.conf is no conffile"
# Nothing of the packages outside the places the policy gives them.
for deb in "$folder"/kestrel_*.deb "$folder"/kestrel-service_*.deb; do
  stray=$(dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' |
    grep -v -E '^\./(usr/bin/|usr/lib/[^/]+/kestrel/|usr/lib/systemd/user/|usr/lib/sysusers\.d/|usr/share/(applications|icons/hicolor|metainfo|mime/packages|man/man1|doc/kestrel(-service)?)/|lib/systemd/system/|etc/kestrel/)' || true)
  [ -z "$stray" ] || fail "$(basename "$deb") has files outside the expected places: $stray"
done

echo "== the installed programs"
version=$(dpkg-deb -f "$(ls "$folder"/kestrel_*.deb | head -n 1)" Version)
# Their run path names the libraries' installed folder: here it is in the root.
export LD_LIBRARY_PATH=$root/usr/lib/$multiarch/kestrel
[ "$("$root/usr/bin/kestrel-service" --version)" = "kestrel-service $version" ] \
  || fail "kestrel-service --version does not say $version"
[ "$(QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$root" "$root/usr/bin/kestrel" --version)" = "kestrel $version" ] \
  || fail "kestrel --version does not say $version"

echo "== the units"
for unit in "$root/lib/systemd/system/kestrel-service.service" "$root/usr/lib/systemd/user/kestrel-service.service"; do
  program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  [ -n "$program" ] && [ -x "$root$program" ] || fail "$unit starts \"$program\", which the packages do not install"
done
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze security --offline=true --root="$root" kestrel-service.service 2>&1 | tail -n 1 || true
fi

[ $failed -eq 0 ] && echo "the packages are fine"
exit $failed
