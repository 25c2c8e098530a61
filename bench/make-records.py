#!/usr/bin/env python3
"""Writes a Google Takeout Records.json of about SIZE megabytes: ten years of
location history from 2016 on, laid out as Takeout writes it (two-space
indent, one member a line), a point every few seconds along a slow walk
around Munich.

Usage: bench/make-records.py SIZE_MB OUT_FILE
"""

import sys

RECORD = """{
    "latitudeE7": %d,
    "longitudeE7": %d,
    "accuracy": %d,
    "altitude": %d,
    "source": "WIFI",
    "deviceTag": 1234567890,
    "platformType": "ANDROID",
    "timestamp": "%s"
  }"""

START = 1451606400  # 2016-01-01T00:00:00Z
SPAN = 10 * 365 * 86400


def iso(seconds):
    days, rest = divmod(seconds, 86400)
    # Civil date from days since 1970 (Howard Hinnant's algorithm).
    z = days + 719468
    era = z // 146097
    doe = z - era * 146097
    yoe = (doe - doe // 1460 + doe // 36524 - doe // 146096) // 365
    doy = doe - (365 * yoe + yoe // 4 - yoe // 100)
    mp = (5 * doy + 2) // 153
    d = doy - (153 * mp + 2) // 5 + 1
    m = mp + 3 if mp < 10 else mp - 9
    y = yoe + era * 400 + (1 if m <= 2 else 0)
    return "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ" % (y, m, d, rest // 3600, rest // 60 % 60, rest % 60, 0)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    target = int(sys.argv[1]) * 1024 * 1024
    sample = len(RECORD % (481372000, 115755000, 10, 520, iso(START))) + 3
    count = max(1, target // sample)
    step = max(1, SPAN // count)
    with open(sys.argv[2], "w", buffering=1 << 20) as out:
        out.write('{\n  "locations": [')
        parts = []
        for i in range(count):
            lat = 481372000 + (i * 37) % 200000
            lon = 115755000 + (i * 53) % 300000
            parts.append(RECORD % (lat, lon, 5 + i % 40, 500 + i % 60, iso(START + i * step)))
            if len(parts) == 10000:
                out.write((", " if i >= 10000 else "") + ", ".join(parts))
                parts = []
        if parts:
            out.write((", " if count > len(parts) else "") + ", ".join(parts))
        out.write("]\n}\n")
    print("%d records, one every %d s" % (count, step))


if __name__ == "__main__":
    main()
