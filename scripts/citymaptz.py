#!/usr/bin/env python3
"""Makes data/citymaptz.ini, the agent's map of cities to Windows time-zone names.

It reads the CLDR mapping of time-zone ids to Windows zone names (windowsZones.xml of
Debian's unicode-cldr-core) and keys each Windows name by the zone id ("Asia/Shanghai"),
its city part ("Shanghai") and the city part with blanks for "_" ("New York"). Where two
ids give one key, the id of the zone's main territory ("001") wins, then the first id in
sorted order.

    scripts/citymaptz.py            write data/citymaptz.ini
    scripts/citymaptz.py --check    fail unless data/citymaptz.ini is what it would write
"""
import os
import sys
import xml.etree.ElementTree as ET

XML = "/usr/share/unicode/cldr/common/supplemental/windowsZones.xml"
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "citymaptz.ini")


def generate(xml_path):
    zones = {}  # zone id -> (rank, Windows name); rank 0 for the main territory
    for mz in ET.parse(xml_path).getroot().iter("mapZone"):
        rank = 0 if mz.get("territory") == "001" else 1
        for zone_id in mz.get("type").split():
            if zone_id not in zones or rank < zones[zone_id][0]:
                zones[zone_id] = (rank, mz.get("other"))
    keys = {}  # lower-case key -> (rank, key, name)
    for zone_id in sorted(zones):
        rank, name = zones[zone_id]
        city = zone_id.rsplit("/", 1)[-1]
        for key, key_rank in ((zone_id, -1), (city, rank), (city.replace("_", " "), rank)):
            old = keys.get(key.lower())
            if old is None or key_rank < old[0]:
                keys[key.lower()] = (key_rank, key, name)
    lines = ["; City and time-zone id -> Windows time-zone name, from the CLDR windowsZones",
             "; table. Made by scripts/citymaptz.py; do not edit.", "[timezone]"]
    lines += ["%s=%s" % (key, name) for _, key, name in sorted(keys.values(),
                                                               key=lambda v: v[1].lower())]
    return "\r\n".join(lines) + "\r\n"


def main():
    text = generate(XML)
    if sys.argv[1:] == ["--check"]:
        with open(OUT, newline="") as f:
            if f.read() != text:
                sys.exit("data/citymaptz.ini is not what scripts/citymaptz.py makes")
        return
    with open(OUT, "w", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
