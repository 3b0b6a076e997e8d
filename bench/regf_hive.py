"""A real Windows hive file (regf) of many keys and values, laid out as Windows lays one
out: each cell once, subkey lists sorted by upper-case name and written whole, cells packed
into 4 kB hive bins. (libhivex can build the same tree, but it rewrites a parent's subkey
list at every child it adds, so its file of a million values would be several times the
size Windows makes, and take minutes.)

    write_regf(path, tree)

tree: {"values": [(name, type, bytes)], "keys": {name: tree}}; names are ASCII.
"""
import struct

PAGE = 0x1000
NONE = 0xFFFFFFFF


def _sid(authority, subs):
    return struct.pack("<BB6s", 1, len(subs), bytes([0] * 5 + [authority])) + b"".join(
        struct.pack("<I", s) for s in subs)


def _security():
    """Administrators own it; SYSTEM and Administrators have full access, Everyone reads;
    subkeys inherit it."""
    system, admins, everyone = _sid(5, [18]), _sid(5, [32, 544]), _sid(1, [0])
    aces = b"".join(struct.pack("<BBHI", 0, 0x02, 8 + len(who), mask) + who
                    for mask, who in ((0xF003F, system), (0xF003F, admins),
                                      (0x20019, everyone)))
    acl = struct.pack("<BBHHH", 2, 0, 8 + len(aces), 3, 0) + aces
    return struct.pack("<BBHIIII", 1, 0, 0x8004, 20 + len(acl) + len(admins) + len(system),
                       20 + len(acl) + len(admins), 0, 20) + acl + admins + system


class _Cells:
    """Cell space, its hive bins one after another: offsets count from the first bin."""

    def __init__(self):
        self.data = bytearray()
        self.bin_end = 0  # where the last bin ends
        self.used = 0     # where its free space begins

    def _close_bin(self):
        if self.used < self.bin_end:  # the rest is one free cell
            struct.pack_into("<i", self.data, self.used, self.bin_end - self.used)

    def reserve(self, size):
        """Room for a cell of size bytes (its size field included): its offset."""
        size = (size + 7) & ~7
        if self.used + size > self.bin_end:
            self._close_bin()
            start = self.bin_end
            length = max(PAGE, (size + 32 + PAGE - 1) // PAGE * PAGE)
            self.data += bytes(length)
            self.data[start:start + 12] = b"hbin" + struct.pack("<II", start, length)
            self.bin_end, self.used = start + length, start + 32
        offset = self.used
        struct.pack_into("<i", self.data, offset, -size)
        self.used += size
        return offset, size

    def put(self, offset, data):
        """data into the cell at offset, after its size field."""
        self.data[offset + 4:offset + 4 + len(data)] = data

    def add(self, data):
        offset, _ = self.reserve(4 + len(data))
        self.put(offset, data)
        return offset

    def finish(self):
        self._close_bin()
        return bytes(self.data)


def _hash(name):
    """The "lf" list's hint: the name's first four characters."""
    return name.encode("ascii")[:4].ljust(4, b"\0")


def _add_key(cells, name, tree, parent, sk, flags=0x20):
    """Writes a key and its subtree; its nk cell's offset."""
    name_b = name.encode("ascii")
    nk, _ = cells.reserve(4 + 76 + len(name_b))
    values = tree.get("values", [])
    vk_offsets = []
    for vname, vtype, data in values:
        vname_b = vname.encode("ascii")
        if len(data) <= 4:  # held in the vk record itself
            length, where = len(data) | 0x80000000, int.from_bytes(data.ljust(4, b"\0"),
                                                                   "little")
        else:
            length, where = len(data), cells.add(data)
        vk_offsets.append(cells.add(b"vk" + struct.pack(
            "<HIIIHH", len(vname_b), length, where, vtype, 1 if vname_b else 0, 0) + vname_b))
    vallist = cells.add(b"".join(struct.pack("<I", o) for o in vk_offsets)) if values else NONE
    subs = sorted(tree.get("keys", {}).items(), key=lambda kv: kv[0].upper())
    children = [(_add_key(cells, sub_name, sub, nk, sk), sub_name) for sub_name, sub in subs]
    lf = NONE
    if children:
        lf = cells.add(b"lf" + struct.pack("<H", len(children)) + b"".join(
            struct.pack("<I", o) + _hash(n) for o, n in children))
    max_sub = max((len(n) * 2 for _, n in children), default=0)
    max_vname = max((len(v[0]) * 2 for v in values), default=0)
    max_data = max((len(v[2]) for v in values), default=0)
    cells.put(nk, b"nk" + struct.pack(
        "<HQIIIIIIIIIIIIIIIHH", flags, 0, 0, parent, len(children), 0, lf, NONE, len(values),
        vallist, sk, NONE, max_sub, 0, max_vname, max_data, 0, len(name_b), 0) + name_b)
    return nk


def write_regf(path, tree):
    cells = _Cells()
    sd = _security()
    sk, _ = cells.reserve(4 + 20 + len(sd))
    root = _add_key(cells, "ROOT", tree, NONE, sk, flags=0x2C)

    def count(t):
        return 1 + sum(count(s) for s in t.get("keys", {}).values())
    cells.put(sk, b"sk" + struct.pack("<HIIII", 0, sk, sk, count(tree), len(sd)) + sd)
    data = cells.finish()
    header = bytearray(PAGE)
    struct.pack_into("<4sIIQIIIIII", header, 0, b"regf", 1, 1, 0, 1, 3, 0, 1, root, len(data))
    struct.pack_into("<I", header, 0x2C, 1)  # clustering factor
    checksum = 0
    for (word,) in struct.iter_unpack("<I", bytes(header[:0x1FC])):
        checksum ^= word
    struct.pack_into("<I", header, 0x1FC, checksum)
    with open(path, "wb") as f:
        f.write(header)
        f.write(data)
