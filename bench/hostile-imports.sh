#!/usr/bin/env bash
# Peak memory of "kestrel-service import-track" for hostile track files, and
# the time and peak memory of importing a large Google Records.json.
#
# Usage: bench/hostile-imports.sh [KESTREL_SERVICE] [WORK_DIR] [RECORDS_MB]
#   KESTREL_SERVICE  the program (default: build/kestrel-service)
#   WORK_DIR         where the files are made, removed at the end (default: /tmp/kestrel-hostile)
#   RECORDS_MB       the size of Records.json, 0 to leave it out (default: 2048)
#
# Prints, per file, its size, the peak resident memory of the import (GNU
# time's %M), the seconds it took and the program's last line.
set -euo pipefail
cd "$(dirname "$0")/.."

service=$(realpath "${1:-build/kestrel-service}")
work=${2:-/tmp/kestrel-hostile}
records_mb=${3:-2048}
[ -x /usr/bin/time ] || { echo "GNU time is needed (apt-get install time)" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

python3 - "$work" <<'EOF'
import os, sys, zipfile, zlib

work = sys.argv[1]
MB = 1024 * 1024
chunk = b" " * MB

def kml(element):
    head = (b'<?xml version="1.0"?>\n<kml xmlns="http://www.opengis.net/kml/2.2"><Document><Placemark>'
            b'<TimeStamp><when>' if element == "when" else
            b'<?xml version="1.0"?>\n<kml xmlns="http://www.opengis.net/kml/2.2"><Document><Placemark><name>')
    tail = (b'2026-05-03T07:12:00Z</when></TimeStamp>' if element == "when" else
            b'x</name><TimeStamp><when>2026-05-03T07:12:00Z</when></TimeStamp>')
    return head, tail + b'<Point><coordinates>15.98,45.815</coordinates></Point></Placemark></Document></kml>\n'

# KMZ archives whose KML holds 900 MB of blanks in one text.
for element in ("when", "name"):
    head, tail = kml(element)
    with zipfile.ZipFile(os.path.join(work, "blanks-in-%s.kmz" % element), "w", zipfile.ZIP_DEFLATED,
                         compresslevel=9) as z:
        with z.open("doc.kml", "w", force_zip64=True) as doc:
            doc.write(head)
            for _ in range(900):
                doc.write(chunk)
            doc.write(tail)

# A KMZ whose stored document was changed after its checksum was taken.
head, tail = kml("name")
good = head + b"walk" + tail
with zipfile.ZipFile(os.path.join(work, "wrong-crc.kmz"), "w", zipfile.ZIP_STORED) as z:
    z.writestr("doc.kml", good)
path = os.path.join(work, "wrong-crc.kmz")
data = bytearray(open(path, "rb").read())
at = data.find(b"15.98,45.815")
data[at:at + 5] = b"16.98"
open(path, "wb").write(bytes(data))

def write(name, parts):
    with open(os.path.join(work, name), "wb") as out:
        for part in parts:
            out.write(part)

write("brackets.json", (b"[" * MB for _ in range(30)))
write("nested-objects.json", (b'{"a":' * (MB // 5) for _ in range(30)))
write("flat-array.json", [b"[0"] + [b",0" * (MB // 2) for _ in range(18)] + [b"]"])
write("long-string.json", [b'{"a":"'] + [b"x" * MB for _ in range(200)] + [b'"}'])
# A zip archive of a million empty files: its directory is read whole.
with zipfile.ZipFile(os.path.join(work, "million-files.kmz"), "w", zipfile.ZIP_STORED) as z:
    for i in range(1000000):
        z.writestr("f%d" % i, b"")
    z.writestr("doc.kml", b"<kml/>")

# Not hostile: one GeoJSON feature of 400,000 timed points, held whole until it ends.
with open(os.path.join(work, "one-feature.geojson"), "w") as out:
    n = 400000
    out.write('{"type":"Feature","geometry":{"type":"LineString","coordinates":[')
    out.write(",".join("[%.6f,%.6f,%d]" % (11.5 + i * 1e-6, 48.1 + i * 1e-6, 500 + i % 50) for i in range(n)))
    out.write(']},"properties":{"coordTimes":[')
    out.write(",".join('"2026-05-%02dT%02d:%02d:%02dZ"' % (1 + i // 86400, i // 3600 % 24, i // 60 % 60, i % 60)
                       for i in range(n)))
    out.write(']}}\n')

write("small.gpx", [b'<gpx><trkpt lat="45.815" lon="15.98"><time>2026-05-03T07:12:00Z</time></trkpt></gpx>\n'])
EOF

if [ "$records_mb" -gt 0 ]; then
  python3 bench/make-records.py "$records_mb" "$work/Records.json" >/dev/null
fi

"$service" demo --db "$work/empty.db" >/dev/null
printf "%-22s %10s %12s %8s  %s\n" file size "peak RSS" seconds "outcome"
for file in small.gpx blanks-in-when.kmz blanks-in-name.kmz wrong-crc.kmz million-files.kmz brackets.json \
            nested-objects.json flat-array.json long-string.json one-feature.geojson Records.json; do
  [ -f "$work/$file" ] || continue
  # Each into a store of its own, so that what one stored does not hide another's.
  rm -f "$work"/store.db*
  cp "$work/empty.db" "$work/store.db"
  start=$(date +%s.%N)
  /usr/bin/time -f "%M" -o "$work/peak" "$service" import-track --db "$work/store.db" "$work/$file" \
    >"$work/out" 2>&1 || true
  end=$(date +%s.%N)
  outcome=$(tr '\r' '\n' <"$work/out" | grep -v '^$' | tail -n 1 | sed "s|$work/||" | cut -c 1-150)
  printf "%-22s %9dK %10dK %8.1f  %s\n" "$file" $(($(stat -c %s "$work/$file") / 1024)) \
    "$(tail -n 1 "$work/peak")" "$(echo "$end - $start" | bc)" "$outcome"
done
