"""The few fields of a PE file the release tests look at."""
import struct


def read(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        raise ValueError("%s: not an MZ executable" % path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("%s: no PE header" % path)
    machine, sections, stamp, symbols, nsymbols, optsize, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    table = opt + optsize
    names = []
    for i in range(sections):
        raw = data[table + 40 * i: table + 40 * i + 8].rstrip(b"\0").decode("latin-1")
        if raw.startswith("/"):  # a long name lives in the string table, which only unstripped files have
            raw = "(long name %s)" % raw
        names.append(raw)
    return {"machine": machine, "stamp": stamp, "symbols": symbols, "nsymbols": nsymbols, "magic": magic,
            "subsystem": subsystem, "sections": names}
