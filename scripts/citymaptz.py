#!/usr/bin/env python3
"""Makes data/citymaptz.ini, the agent's map of cities to Windows time-zone names.

Sources (Debian's unicode-cldr-core and tzdata):
  CLDR supplemental/windowsZones.xml   zone id -> Windows zone name, by territory
  CLDR bcp47/timezone.xml              each zone's ids (alias), its "City, Country"
                                       description, deprecated zones (preferred)
  CLDR main/en.xml                     English exemplar cities of a few zones
  CLDR subdivisions/en.xml             English names of regions (to tell a region from a
                                       former city name in a description's brackets)
  tzdata tzdata.zi                     Zone names and links: the renames that came after
                                       the CLDR release ("L Europe/Kyiv Europe/Kiev")

Keys of a zone:
  - every id, whole ("Asia/Calcutta", "Asia/Kolkata", "US/Eastern", "Etc/GMT+3");
  - the city part of the zone's own ids (CLDR's canonical id and the tzdata Zone names),
    as it is and with blanks for "_", where the id is Area/City with Area a continent or
    ocean. Other ids name no city: "US/Eastern", "Eire" and "Etc/GMT+3" give their whole
    id only, and so do the ids that tzdata keeps as links, whose last part may be a
    country or a region ("Pacific/Samoa" is American Samoa, "Australia/North");
  - the description's part before the comma ("Ho Chi Minh City"), and a name in its
    brackets unless that is a region ("Yangon (Rangoon)" gives both; "Adak (Alaska)"
    gives Adak); a description without a comma names a territory that has only this
    zone ("Saint Helena"), or where the zone is not a place it is a phrase ("Greenwich
    Mean Time", "5 hours behind UTC") and gives no key;
  - the English exemplar city;
  - the ASCII-folded form of each of these names that is not plain ASCII ("Sao Paulo").
A deprecated zone's names go to its preferred zone. Each Windows zone name maps to itself.

A key that zones with different Windows names claim goes, in this order, to: a whole id
or a Windows name; the zone of its Windows name's main territory ("001"); the zone whose
own id or name it is, before one that has it only as an alias (a bracketed old name, a
deprecated zone's name); the zone whose canonical id sorts first. Keys are compared
without regard to case, as the profile functions compare them.

    scripts/citymaptz.py            write data/citymaptz.ini
    scripts/citymaptz.py --dropped  list the names that give no key, and why
    scripts/citymaptz.py --check    fail unless data/citymaptz.ini is what it would write;
                                    exit 77 (skipped) where the installed CLDR or tzdata
                                    version is not the one the file was made from
"""
import os
import re
import sys
import unicodedata
import xml.etree.ElementTree as ET

CLDR = "/usr/share/unicode/cldr/common"
TZDATA = "/usr/share/zoneinfo/tzdata.zi"
OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "citymaptz.ini")
SKIPPED = 77

# tzdata's areas of Area/City ids; other first parts (US, Brazil, Canada, Etc, ...) are not
# places.
AREAS = {"Africa", "America", "Antarctica", "Arctic", "Asia", "Atlantic", "Australia",
         "Europe", "Indian", "Pacific"}
# Punctuation that Unicode decomposition leaves as it is.
QUOTES = str.maketrans({"\u2018": "'", "\u2019": "'"})

EXACT, OWN, ALIAS = 0, 1, 2  # kinds of a claim on a key, strongest first
VERSION_LINE = re.compile(r"^; Sources: CLDR (\S+), tzdata (\S+)\r?$", re.M)


def versions(cldr, tzdata):
    """The CLDR and tzdata versions of the installed sources."""
    with open(os.path.join(cldr, "dtd", "ldmlSupplemental.dtd"), encoding="utf-8") as f:
        cldr_version = re.search(r'cldrVersion CDATA #FIXED "([^"]+)"', f.read()).group(1)
    with open(tzdata, encoding="utf-8") as f:
        tz_version = re.match(r"# version (\S+)", f.readline()).group(1)
    return cldr_version, tz_version


def ascii_fold(name):
    """name without its accents, or None when that is still not plain ASCII."""
    folded = unicodedata.normalize("NFKD", name.translate(QUOTES))
    folded = "".join(c for c in folded if not unicodedata.combining(c))
    return folded if folded.isascii() else None


def is_area_city(zone_id):
    return "/" in zone_id and zone_id.split("/", 1)[0] in AREAS


class Zone:
    def __init__(self, name, description, ids, preferred):
        self.name = name
        self.description = description
        self.ids = ids            # CLDR's aliases, canonical first, then tzdata's names
        self.own = set(ids[:1])   # the ids that are the zone's own: canonical, tzdata Zones
        self.preferred = preferred
        self.windows = None
        self.main = False
        self.names = []           # (name, kind): description and exemplar cities


def read_zones(cldr):
    zones = {}
    root = ET.parse(os.path.join(cldr, "bcp47", "timezone.xml")).getroot()
    for key in root.iter("key"):
        if key.get("name") != "tz":
            continue
        for t in key.iter("type"):
            zones[t.get("name")] = Zone(t.get("name"), t.get("description", ""),
                                        t.get("alias", "").split(), t.get("preferred"))
    return zones


def read_tzdata(tzdata):
    """tzdata's Zone names and its links as (target, link)."""
    names, links = set(), []
    with open(tzdata, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if words[:1] == ["Z"]:
                names.add(words[1])
            elif words[:1] == ["L"]:
                links.append((words[1], words[2]))
    return names, links


def city_names(zone, regions, dropped):
    """The names of a zone's description: (name, kind)."""
    if "," not in zone.description:
        # The name of a territory that has this zone only ("Curaçao"), or a phrase where
        # the zone is not a place ("Greenwich Mean Time", "POSIX style time zone ...").
        if zone.ids and is_area_city(zone.ids[0]):
            return [(zone.description, OWN)]
        dropped.append((zone.description, "a description of a zone that is not a place"))
        return []
    city = zone.description.split(",", 1)[0].strip()
    m = re.fullmatch(r"(.+?) \((.+)\)", city)
    if not m:
        return [(city, OWN)]
    names = [(m.group(1), OWN)]
    if m.group(2).lower() in regions:
        dropped.append((m.group(2), "a region in brackets in \"%s\"" % zone.description))
    else:
        names.append((m.group(2), ALIAS))
    return names


def claimant(zone):
    return zone.ids[0] if zone else "a Windows name"


def usable_key(key):
    """Whether a profile file can hold key as a key."""
    return (key == key.strip() and key and "=" not in key and key[0] not in ";["
            and all(c.isprintable() for c in key))


def read_windows(cldr, zones):
    """Each zone's Windows name, and whether it is its Windows name's main zone ("001");
    the Windows names."""
    windows, main_ids = {}, set()
    for mz in ET.parse(os.path.join(cldr, "supplemental", "windowsZones.xml")).iter("mapZone"):
        for zone_id in mz.get("type").split():
            windows.setdefault(zone_id, mz.get("other"))
            if mz.get("territory") == "001":
                main_ids.add(zone_id)
                windows[zone_id] = mz.get("other")
    for z in zones.values():
        mapped = [i for i in z.ids if i in windows]
        if mapped:
            z.windows = windows[mapped[0]]
            z.main = any(i in main_ids for i in z.ids)
    return sorted(set(windows.values()))


def add_tzdata(tzdata, zones, by_id, cldr_version, dropped):
    """Gives the CLDR zones the names tzdata has and CLDR does not: a link to a CLDR zone,
    or a Zone that CLDR's zones link to (a rename: Europe/Kyiv). Where tzdata links two
    CLDR zones (it merges zones of one offset), CLDR's zones are kept apart."""
    tz_names, links = read_tzdata(tzdata)
    renamed = {}  # tzdata name unknown to CLDR -> the CLDR zones its links name
    for target, link in links:
        if target not in by_id and link in by_id:
            renamed.setdefault(target, []).append(by_id[link])
        elif link not in by_id and target in by_id:
            by_id[target].ids.append(link)
            by_id[link] = by_id[target]
    for target, candidates in sorted(renamed.items()):
        if len({z.windows for z in candidates}) > 1:
            dropped.append((target, "tzdata links it to zones of different Windows names: %s"
                            % ", ".join(sorted(z.ids[0] for z in candidates))))
            continue
        # The zone whose description names the new city (Kyiv, not Uzhhorod), else the
        # first by id.
        city = target.rsplit("/", 1)[-1].replace("_", " ").lower()
        candidates.sort(key=lambda z: (z.description.split(",")[0].lower() != city, z.ids[0]))
        candidates[0].ids.append(target)
        by_id[target] = candidates[0]
    for name in sorted(tz_names - set(by_id)):
        dropped.append((name, "tzdata zone unknown to CLDR %s, which gives it no Windows name"
                        % cldr_version))
    for z in zones.values():
        z.own |= {i for i in z.ids if i in tz_names}


def zone_claims(z, target, dropped):
    """The keys zone z claims for target (z itself, or the zone a deprecated z prefers):
    (key, kind, target, Windows name)."""
    claims, names = [], []
    for zone_id in z.ids:
        claims.append((zone_id, EXACT, target, target.windows))
        city = zone_id.rsplit("/", 1)[-1]
        if not is_area_city(zone_id):
            if "/" in zone_id:
                dropped.append((city, "%s is not an Area/City id" % zone_id))
        elif zone_id not in z.own:
            dropped.append((city, "%s is a link, not a zone's own id" % zone_id))
        else:
            names += [(city, OWN), (city.replace("_", " "), OWN)]
    for name, kind in names + z.names:
        kind = kind if target is z else ALIAS
        claims.append((name, kind, target, target.windows))
        if not name.isascii():
            folded = ascii_fold(name)
            if folded is None:
                dropped.append((name, "has no ASCII-folded form"))
            else:
                claims.append((folded, kind, target, target.windows))
    return claims


def resolve(claims, dropped):
    """lower-case key -> (key, Windows name), by the tie rule; the names that lose a key
    to a zone of another Windows name, as (name, reason)."""
    groups = {}
    for claim in claims:
        if not usable_key(claim[0]):
            dropped.append((claim[0], "not a key a profile file can hold"))
        else:
            groups.setdefault(claim[0].lower(), []).append(claim)
    keys, lost = {}, []
    for lower, group in groups.items():
        group.sort(key=lambda c: (c[1] != EXACT, not (c[2] and c[2].main), c[1],
                                  c[2].ids[0] if c[2] else ""))
        key, _, zone, name = group[0]
        keys[lower] = (key, name)
        lost += [(other, "%s (%s) loses it to %s (%s)"
                  % (claimant(other_zone), other_name, claimant(zone), name))
                 for other, _, other_zone, other_name in group if other_name != name]
    return keys, lost


def generate(cldr=CLDR, tzdata=TZDATA):
    """The text of citymaptz.ini and the names that give no key, as (name, reason)."""
    cldr_version, tz_version = versions(cldr, tzdata)
    dropped = []
    zones = read_zones(cldr)
    by_id = {i: z for z in zones.values() for i in z.ids}
    windows = read_windows(cldr, zones)
    add_tzdata(tzdata, zones, by_id, cldr_version, dropped)
    for e in ET.parse(os.path.join(cldr, "main", "en.xml")).iter("zone"):
        city = e.find("exemplarCity")
        if city is not None and e.get("type") in by_id:
            by_id[e.get("type")].names.append((city.text, OWN))
    regions = {s.text.lower() for s in
               ET.parse(os.path.join(cldr, "subdivisions", "en.xml")).iter("subdivision")}
    for z in zones.values():
        z.names[:0] = city_names(z, regions, dropped)

    claims = [(name, EXACT, None, name) for name in windows]
    for z in sorted(zones.values(), key=lambda z: z.name):
        target = zones.get(z.preferred, z) if z.preferred else z
        if target.windows is None:
            dropped += [(n, "CLDR %s gives the zone %s no Windows name" % (cldr_version, z.name))
                        for n in z.ids + [n for n, _ in z.names]]
        else:
            claims += zone_claims(z, target, dropped)
    keys, lost = resolve(claims, dropped)
    # A name dropped on one path may still be a key through another ("Chongqing" is a
    # link's city and a deprecated zone's description).
    dropped = [(n, r) for n, r in dropped if n.lower() not in keys] + lost

    lines = [
        "; City and time-zone id -> Windows time-zone name. Made by scripts/citymaptz.py",
        "; from Debian's unicode-cldr-core and tzdata; do not edit.",
        "; Sources: CLDR %s, tzdata %s" % (cldr_version, tz_version),
        "; Keys: every id of a zone, the city part of its own ids, its English city names,",
        "; and each Windows name. A key that is not plain ASCII is written in UTF-8 and",
        "; matches only where the agent's ANSI code page is UTF-8 (65001); each such key",
        "; also comes ASCII-folded (\"Sao Paulo\"), which matches in every code page.",
        "[timezone]",
    ]
    lines += ["%s=%s" % keys[lower] for lower in sorted(keys)]
    return "\r\n".join(lines) + "\r\n", sorted(set(dropped))


def check(out=OUT, cldr=CLDR, tzdata=TZDATA):
    """0 when the file is what the generator makes, 1 when it is not, SKIPPED where the
    installed sources are not the versions the file was made from."""
    with open(out, encoding="utf-8", newline="") as f:
        text = f.read()
    made = VERSION_LINE.search(text)
    installed = versions(cldr, tzdata)
    if not made or made.groups() != installed:
        print("citymaptz.ini was made from CLDR %s and tzdata %s; this machine has CLDR %s "
              "and tzdata %s: not compared" % ((made.groups() if made else ("?", "?")) + installed))
        return SKIPPED
    if text != generate(cldr, tzdata)[0]:
        print("data/citymaptz.ini is not what scripts/citymaptz.py makes")
        return 1
    return 0


def main():
    args = sys.argv[1:]
    if args == ["--check"]:
        sys.exit(check())
    text, dropped = generate()
    if args == ["--dropped"]:
        for name, reason in dropped:
            print("%s\t%s" % (name, reason))
        return
    if args:
        sys.exit(__doc__)
    with open(OUT, "w", encoding="utf-8", newline="") as f:
        f.write(text)


if __name__ == "__main__":
    main()
