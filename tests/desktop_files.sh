#!/usr/bin/env bash
# Validates the desktop integration files as a desktop would read them:
#   desktop_files.sh SOURCE_DIR METAINFO APP_ID
# SOURCE_DIR holds APP_ID.desktop and the MIME package APP_ID.xml, METAINFO is
# the configured AppStream file. Any error or warning fails (exit 1); when a
# checking tool is missing the checks that remain run and the test is skipped
# (exit 77), naming the Debian package to install.
set -uo pipefail

source_dir=$1
metainfo=$2
id=$3
desktop=$source_dir/$id.desktop
mime_package=$source_dir/$id.xml

failed=0
missing=()
fail() { echo "FAIL: $*"; failed=1; }

# Prints the tool's output; fails when it has lines matching the pattern.
check_output() {
    local what=$1 pattern=$2 output=$3
    [ -n "$output" ] && echo "$output"
    if grep -Eq "$pattern" <<<"$output"; then fail "$what"; else echo "ok: $what"; fi
}

# The menu entry.
if command -v desktop-file-validate >/dev/null; then
    check_output "desktop-file-validate $id.desktop" '(error|warning):' "$(desktop-file-validate "$desktop" 2>&1)"
else
    missing+=("desktop-file-validate (desktop-file-utils)")
fi

# The AppStream description.
if command -v appstreamcli >/dev/null; then
    output=$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1)
    status=$?
    check_output "appstreamcli validate $(basename "$metainfo")" '^[EW]:' "$output"
    [ $status -eq 0 ] || fail "appstreamcli exited with $status"
else
    missing+=("appstreamcli (appstream)")
fi

# The three files name the same types: the entry opens what AppStream says
# it opens, and that includes the type the MIME package defines.
desktop_types=$(sed -n 's/^MimeType=//p' "$desktop" | tr ';' '\n' | sed '/^$/d' | sort)
metainfo_types=$(sed -n 's|.*<mediatype>\(.*\)</mediatype>.*|\1|p' "$metainfo" | sort)
own_type=$(sed -n 's|.*<mime-type type="\([^"]*\)".*|\1|p' "$mime_package")
[ -n "$desktop_types" ] && [ "$desktop_types" = "$metainfo_types" ] \
    || fail "MimeType= of the entry ($desktop_types) differs from the AppStream mediatypes ($metainfo_types)"
grep -qxF "$own_type" <<<"$desktop_types" || fail "the entry does not open $own_type, the type of $id.xml"
grep -qx "Icon=$id" "$desktop" || fail "the entry's icon is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "AppStream launches no $id.desktop"

# The MIME package, in a MIME database of its own.
if command -v update-mime-database >/dev/null; then
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/mime/packages"
    cp "$mime_package" "$work/mime/packages/"
    export XDG_DATA_HOME=$work XDG_DATA_DIRS=$work:/usr/share
    check_output "update-mime-database with $id.xml" '.' "$(update-mime-database "$work/mime" 2>&1)"
    [ -s "$work/mime/mime.cache" ] || fail "update-mime-database made no mime.cache"
    if command -v gio >/dev/null; then
        # A log found by its name, and one without a telling name by its first sentence.
        sentence='$GPRMC,081836,A,4807.038,N,01131.000,E,000.0,360.0,130998,011.3,E*62'
        printf '%s\r\n' "$sentence" >"$work/track.nmea"
        printf '%s\r\n' "$sentence" >"$work/gpslogger-0412"
        for file in track.nmea gpslogger-0412; do
            type=$(gio info -a standard::content-type "$work/$file" | sed -n 's/^ *standard::content-type: //p')
            [ "$type" = "$own_type" ] && echo "ok: $file is $type" || fail "$file is \"$type\", not $own_type"
        done
    else
        missing+=("gio (libglib2.0-bin)")
    fi
else
    missing+=("update-mime-database (shared-mime-info)")
fi

[ $failed -eq 0 ] || exit 1
if [ ${#missing[@]} -gt 0 ]; then
    printf 'SKIPPED: missing %s\n' "${missing[@]}"
    exit 77
fi
exit 0
