"""scripts/citymaptz.py on small CLDR and tzdata trees made here, shaped as the real ones."""
import importlib.util
import os
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
found = importlib.util.spec_from_file_location(
    "citymaptz", os.path.join(HERE, "..", "scripts", "citymaptz.py"))
citymaptz = importlib.util.module_from_spec(found)
found.loader.exec_module(citymaptz)

# (territory, Windows name, ids) as windowsZones.xml lists them.
WINDOWS = [
    ("001", "UTC-11", "Etc/GMT+11"), ("AS", "UTC-11", "Pacific/Pago_Pago"),
    ("001", "Samoa Standard Time", "Pacific/Apia"),
    ("001", "Eastern Standard Time", "America/New_York"),
    ("001", "GMT Standard Time", "Europe/London"), ("IE", "GMT Standard Time", "Europe/Dublin"),
    ("001", "E. South America Standard Time", "America/Sao_Paulo"),
    ("001", "SA Eastern Standard Time", "America/Cayenne"),
    ("ZZ", "SA Eastern Standard Time", "Etc/GMT+3"),
    ("001", "India Standard Time", "Asia/Calcutta"),
    ("001", "Myanmar Standard Time", "Asia/Rangoon"),
    ("001", "Alaskan Standard Time", "America/Anchorage"),
    ("001", "Aleutian Standard Time", "America/Adak"),
    ("001", "China Standard Time", "Asia/Shanghai"),
    ("001", "FLE Standard Time", "Europe/Kiev"),
    ("UA", "FLE Standard Time", "Europe/Uzhgorod"),
    ("001", "SE Asia Standard Time", "Asia/Bangkok"), ("VN", "SE Asia Standard Time", "Asia/Saigon"),
    ("001", "UTC", "Etc/UTC"),
    ("001", "Greenwich Standard Time", "Atlantic/Reykjavik"),
    ("SH", "Greenwich Standard Time", "Atlantic/St_Helena"),
    ("001", "West Pacific Standard Time", "Pacific/Port_Moresby"),
    ("AQ", "West Pacific Standard Time", "Antarctica/DumontDUrville"),
    ("001", "Central Europe Standard Time", "Europe/Budapest"),
    ("ML", "Mali Standard Time", "Africa/Bamako"), ("CI", "Ivory Standard Time", "Africa/Abidjan"),
]
# (name, description, alias, preferred) as bcp47/timezone.xml lists them.
ZONES = [
    ("asppg", "Pago Pago, American Samoa", "Pacific/Pago_Pago Pacific/Samoa US/Samoa", None),
    ("wsapw", "Apia, Samoa", "Pacific/Apia", None),
    ("usnyc", "New York, United States", "America/New_York US/Eastern", None),
    ("gblon", "London, United Kingdom", "Europe/London GB", None),
    ("iedub", "Dublin, Ireland", "Europe/Dublin Eire", None),
    ("brsao", "São Paulo, Brazil", "America/Sao_Paulo Brazil/East", None),
    ("gfcay", "Cayenne, French Guiana", "America/Cayenne", None),
    ("utcw03", "3 hours behind UTC", "Etc/GMT+3", None),
    ("utcw11", "11 hours behind UTC", "Etc/GMT+11", None),
    ("inccu", "Kolkata, India", "Asia/Calcutta Asia/Kolkata", None),
    ("mmrgn", "Yangon (Rangoon), Burma", "Asia/Rangoon Asia/Yangon", None),
    ("usanc", "Anchorage, United States", "America/Anchorage", None),
    ("usadk", "Adak (Alaska), United States", "America/Adak", None),
    ("cnsha", "Shanghai, China", "Asia/Shanghai", None),
    ("cnckg", "Chongqing, China", "", "cnsha"),
    ("uaiev", "Kyiv, Ukraine", "Europe/Kiev", None),
    ("uauzh", "Uzhhorod (Uzhgorod), Ukraine", "Europe/Uzhgorod", None),
    ("thbkk", "Bangkok, Thailand", "Asia/Bangkok", None),
    ("vnsgn", "Ho Chi Minh City, Vietnam", "Asia/Saigon Asia/Ho_Chi_Minh", None),
    ("utc", "UTC (Coordinated Universal Time)", "Etc/UTC UTC", None),
    ("gmt", "Greenwich Mean Time", "Etc/GMT GMT", None),
    ("isrey", "Reykjavik, Iceland", "Atlantic/Reykjavik", None),
    ("shshn", "Saint Helena", "Atlantic/St_Helena", None),
    ("pgpom", "Port Moresby, Papua New Guinea", "Pacific/Port_Moresby", None),
    ("aqddu", "Dumont d'Urville Station, Terre Adélie", "Antarctica/DumontDUrville", None),
    ("aqtrl", "Troll Station, Queen Maud Land", "Antarctica/Troll", None),
    ("hubud", "Budapest, Hungary", "Europe/Budapest", None),
    ("mlbko", "Bamako, Mali", "Africa/Bamako Africa/Timbuktu", None),
    ("ciabj", "Abidjan, Côte d’Ivoire", "Africa/Abidjan", None),
]
EXEMPLARS = {"Europe/Kiev": "Kyiv", "Asia/Saigon": "Ho Chi Minh City",
             "Antarctica/DumontDUrville": "Dumont d\u2019Urville", "Etc/Unknown": "Unknown City"}
REGIONS = ["Alaska", "Indiana"]
# Europe/Kyiv came after the CLDR release; Asia/Vientiane is a link CLDR does not know;
# tzdata merges Timbuktu into Abidjan, which CLDR keeps apart; America/Ciudad_Juarez is
# unknown to CLDR.
TZDATA = """# version 2099z
Z Europe/Kyiv 2:2:4 - LMT 1880
Z Asia/Kolkata 5:53:28 - LMT 1854 Jun 28
Z Asia/Yangon 6:24:47 - LMT 1880
Z Asia/Ho_Chi_Minh 7:6:30 - LMT 1906 Jul
Z America/Ciudad_Juarez -7:5:56 - LMT 1922 Ja 1 7u
L Europe/Kyiv Europe/Kiev
L Europe/Kyiv Europe/Uzhgorod
L Pacific/Pago_Pago Pacific/Samoa
L Pacific/Pago_Pago US/Samoa
L Asia/Bangkok Asia/Vientiane
L Africa/Abidjan Africa/Timbuktu
"""


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def attrs(**values):
    return " ".join('%s="%s"' % (k, v) for k, v in values.items() if v)


class Sources:
    """A CLDR tree and a tzdata.zi in a temporary folder."""

    def __init__(self, windows=WINDOWS, zones=ZONES, tzdata=TZDATA, cldr_version="41"):
        self.dir = tempfile.TemporaryDirectory()
        self.cldr = os.path.join(self.dir.name, "cldr")
        self.tzdata = os.path.join(self.dir.name, "tzdata.zi")
        write(os.path.join(self.cldr, "dtd", "ldmlSupplemental.dtd"),
              '<!ATTLIST version cldrVersion CDATA #FIXED "%s" >\n' % cldr_version)
        write(os.path.join(self.cldr, "supplemental", "windowsZones.xml"),
              "<supplementalData><windowsZones><mapTimezones>%s</mapTimezones></windowsZones>"
              "</supplementalData>" % "".join(
                  '<mapZone other="%s" territory="%s" type="%s"/>' % (o, t, i)
                  for t, o, i in windows))
        write(os.path.join(self.cldr, "bcp47", "timezone.xml"),
              '<ldmlBCP47><keyword><key name="tz">%s</key></keyword></ldmlBCP47>' % "".join(
                  "<type %s/>" % attrs(name=n, description=d, alias=a, preferred=p,
                                       deprecated="true" if p else None)
                  for n, d, a, p in zones))
        write(os.path.join(self.cldr, "main", "en.xml"),
              "<ldml><dates><timeZoneNames>%s</timeZoneNames></dates></ldml>" % "".join(
                  '<zone type="%s"><exemplarCity>%s</exemplarCity></zone>' % z
                  for z in EXEMPLARS.items()))
        write(os.path.join(self.cldr, "subdivisions", "en.xml"),
              "<ldml>%s</ldml>" % "".join("<subdivision>%s</subdivision>" % r for r in REGIONS))
        write(self.tzdata, tzdata)

    def generate(self):
        text, dropped = citymaptz.generate(self.cldr, self.tzdata)
        keys = {}
        for line in text.split("\r\n"):
            if "=" in line and not line.startswith(";"):
                key, value = line.split("=", 1)
                keys[key] = value
        reasons = {}
        for name, reason in dropped:
            reasons.setdefault(name, []).append(reason)
        return text, keys, {name: " | ".join(r) for name, r in reasons.items()}


class CityMapTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sources = Sources()
        cls.text, cls.keys, cls.dropped = cls.sources.generate()

    @classmethod
    def tearDownClass(cls):
        cls.sources.dir.cleanup()

    def more_sources(self, **changes):
        s = Sources(**changes)
        self.addCleanup(s.dir.cleanup)
        return s

    def test_every_id_of_a_zone_with_its_cities(self):
        k = self.keys
        for key in ("Asia/Calcutta", "Asia/Kolkata", "Calcutta", "Kolkata"):
            self.assertEqual(k[key], "India Standard Time", key)
        # Renamed in tzdata after the CLDR release.
        for key in ("Europe/Kyiv", "Kyiv", "Europe/Kiev", "Kiev"):
            self.assertEqual(k[key], "FLE Standard Time", key)
        self.assertEqual(k["Ho Chi Minh City"], "SE Asia Standard Time")
        self.assertEqual(k["Ho_Chi_Minh"], "SE Asia Standard Time")
        self.assertEqual(k["India Standard Time"], "India Standard Time")

    def test_ids_that_are_not_area_city_give_the_whole_id_only(self):
        k = self.keys
        self.assertEqual(k["US/Samoa"], "UTC-11")
        self.assertEqual(k["Pacific/Samoa"], "UTC-11")
        self.assertEqual(k["Samoa Standard Time"], "Samoa Standard Time")
        self.assertEqual(k["US/Eastern"], "Eastern Standard Time")
        self.assertEqual(k["Brazil/East"], "E. South America Standard Time")
        self.assertEqual(k["Eire"], "GMT Standard Time")
        self.assertEqual(k["Etc/GMT+3"], "SA Eastern Standard Time")
        # Samoa is Apia's country; GMT+3 would be read as three hours ahead.
        for name in ("Samoa", "Eastern", "East", "GMT+3", "GMT+11", "UTC (Coordinated "
                     "Universal Time)", "Greenwich Mean Time", "3 hours behind UTC"):
            self.assertNotIn(name.lower(), map(str.lower, k), name)
        self.assertIn("is a link", self.dropped["Samoa"])
        self.assertIn("not an Area/City id", self.dropped["Eastern"])

    def test_descriptions(self):
        k = self.keys
        self.assertEqual(k["Yangon"], "Myanmar Standard Time")
        self.assertEqual(k["Rangoon"], "Myanmar Standard Time")
        self.assertEqual(k["Adak"], "Aleutian Standard Time")
        self.assertNotIn("Alaska", k)
        self.assertIn("region", self.dropped["Alaska"])
        self.assertEqual(k["Saint Helena"], "Greenwich Standard Time")
        # A deprecated zone's name goes to its preferred zone.
        self.assertEqual(k["Chongqing"], "China Standard Time")
        self.assertIn("no Windows name", self.dropped["Troll Station"])
        self.assertIn("no Windows name", self.dropped["America/Ciudad_Juarez"])

    def test_names_that_are_not_ascii_also_come_folded(self):
        k = self.keys
        self.assertEqual(k["São Paulo"], "E. South America Standard Time")
        self.assertEqual(k["Sao Paulo"], "E. South America Standard Time")
        self.assertEqual(k["Dumont d\u2019Urville"], "West Pacific Standard Time")
        self.assertEqual(k["Dumont d'Urville"], "West Pacific Standard Time")
        self.assertIn("UTF-8", self.text.split("[timezone]")[0])

    def test_tzdata_links(self):
        self.assertEqual(self.keys["Africa/Timbuktu"], "Mali Standard Time")
        self.assertEqual(self.keys["Asia/Vientiane"], "SE Asia Standard Time")
        self.assertNotIn("Vientiane", self.keys)

    def test_a_new_name_linked_to_zones_of_different_windows_names_is_dropped(self):
        s = self.more_sources(tzdata=TZDATA + "L Europe/Kyiv Europe/Budapest\n")
        _, keys, dropped = s.generate()
        self.assertNotIn("Europe/Kyiv", keys)
        self.assertIn("different Windows names", dropped["Europe/Kyiv"])
        self.assertEqual(keys["Europe/Kiev"], "FLE Standard Time")

    def test_ties(self):
        zones = ZONES + [
            # Rangoon only as an old name in brackets, against a zone whose own city it is
            # (and whose id sorts later).
            ("aaold", "Foo (Rangoon), Nowhere", "Asia/Foo", None),
            ("zzown", "Rangoon, Elsewhere", "Asia/Zzz", None),
            # Kolkata as a city of the main zone and of another.
            ("aaone", "Kolkata, Nowhere", "Asia/Baz", None),
            # A deprecated zone's name, against a zone whose own name it is.
            ("aadep", "Bazville, Nowhere", "", "uauzh"),
            ("zzbaz", "Bazville, Elsewhere", "Pacific/Zzz", None),
            # A city that is also another zone's whole id.
            ("aatwo", "Eire, Nowhere", "Asia/Qux", None),
        ]
        windows = WINDOWS + [("XA", "Old Standard Time", "Asia/Foo"),
                             ("XB", "Own Standard Time", "Asia/Zzz Pacific/Zzz"),
                             ("XC", "Other Standard Time", "Asia/Baz Asia/Qux")]
        s = self.more_sources(windows=windows, zones=[z for z in zones if z[0] != "mmrgn"])
        _, keys, dropped = s.generate()
        self.assertEqual(keys["Rangoon"], "Own Standard Time")
        self.assertIn("loses it to Asia/Zzz", dropped["Rangoon"])
        self.assertEqual(keys["Bazville"], "Own Standard Time")
        self.assertEqual(keys["Kolkata"], "India Standard Time")
        self.assertEqual(keys["Eire"], "GMT Standard Time")
        self.assertEqual(keys["Foo"], "Old Standard Time")

    def test_keys_are_unique_without_regard_to_case(self):
        lower = [key.lower() for key in self.keys]
        self.assertEqual(len(lower), len(set(lower)))

    def test_check_compares_only_the_versions_it_was_made_from(self):
        out = os.path.join(self.sources.dir.name, "citymaptz.ini")
        write(out, self.text.replace("\r\n", "\n"))
        self.assertEqual(citymaptz.check(out, self.sources.cldr, self.sources.tzdata), 1)
        with open(out, "w", encoding="utf-8", newline="") as f:
            f.write(self.text)
        self.assertEqual(citymaptz.check(out, self.sources.cldr, self.sources.tzdata), 0)
        later = self.more_sources(tzdata=TZDATA.replace("2099z", "2100a"))
        self.assertEqual(citymaptz.check(out, later.cldr, later.tzdata), citymaptz.SKIPPED)
        self.assertIn("; Sources: CLDR 41, tzdata 2099z\r\n", self.text)


if __name__ == "__main__":
    unittest.main()
