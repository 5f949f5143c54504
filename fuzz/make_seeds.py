#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/).

Run it again after changing a request layout; libFuzzer grows the corpora
from these seeds. Each seed is a small, valid input in the target's format.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


# strtools: destination size byte, delimiter byte, text.
for name, size, delim, text in [
    ("plain", 32, b"=", b"a==b="),
    ("url", 16, b"/", b"a b/c%41%zz%4"),
    ("utf8", 64, b" ", "grüße 日本 \U0001F600".encode()),
    ("broken_utf8", 8, b"?", b"a\xff\xed\xa0\x80b\xc3"),
    ("percent_tail", 3, b"%", b"%4"),
    ("empty", 0, b",", b""),
]:
    write("strtools", name, bytes([size]) + delim + text)

# pathtools: path, NUL, other path.
for name, data in [
    ("compact", b"/a/./b/../c\0/base"),
    ("dots", b"../../x/./y/..\0rel"),
    ("backslashes", b"C:\\dir\\file.tar.gz\0a/b/"),
    ("url", b"FILE:///a%20b\0/"),
    ("root", b"/..\0//"),
]:
    write("pathtools", name, data)


# pathregistry: registry file contents.
for name, data in [
    ("full", b'{"config":["/c"],"external_drivers":["/d1","/d2"],"jsonid":"vrpathreg",'
             b'"log":["/l","/l0"],"runtime":["/r","/r0"],"version":1}'),
    ("nulls", b'{"config":null,"external_drivers":null,"log":null,"runtime":null}'),
    ("odd_types", b'{"runtime":[1,"/r",null,{"x":2}],"config":"/c","log":[true]}'),
    ("not_object", b'["runtime"]'),
    ("bom_crlf", b'\xef\xbb\xbf{\r\n"runtime" : ["/r"]\r\n}\r\n'),
]:
    write("pathregistry", name, data)

# sim_protocol: requests of op (u16), role (u8), payload length (u16), payload.
def s(text):
    b = text.encode() if isinstance(text, str) else text
    return struct.pack("<I", len(b)) + b


def strlist(*items):
    return struct.pack("<I", len(items)) + b"".join(s(i) for i in items)


def req(op, role, payload):
    return struct.pack("<HBH", op, role, len(payload)) + payload


LATTICE, QUILL, CONTROL = 1, 2, 3
init = req(100, LATTICE, struct.pack("<iB", 2, 1) + s('{"is_system_process" : true }') + s("halyard"))
write("sim_protocol", "init_and_poll",
      init + req(103, LATTICE, s("IVRSystem_023")) + req(104, LATTICE, struct.pack("<I", 256)))
write("sim_protocol", "control_events",
      req(300, CONTROL, strlist("event", "516")) + req(300, CONTROL, strlist("console-open", "1"))
      + req(300, CONTROL, strlist("quit")) + req(104, LATTICE, struct.pack("<I", 8)))
write("sim_protocol", "settings",
      req(300, CONTROL, strlist("setting", "orrery", "loglevel", "3"))
      + req(105, LATTICE, struct.pack("<B", 2) + s("orrery") + s("loglevel"))
      + req(105, LATTICE, struct.pack("<B", 1) + s("userinterface") + s("screenshots")))
write("sim_protocol", "host",
      req(200, QUILL, b"") + req(201, QUILL, b"") + req(300, CONTROL, strlist("host", "notice-shutdown"))
      + req(203, QUILL, b"") + req(300, CONTROL, strlist("host", "down")) + req(201, QUILL, b""))
write("sim_protocol", "malformed",
      req(100, LATTICE, b"\xff\xff") + req(999, LATTICE, b"x") + req(300, CONTROL, b"\xff\xff\xff\xff")
      + req(1, 0, b""))
write("sim_protocol", "journal", req(300, CONTROL, strlist("journal")) + req(300, CONTROL, strlist("console")))
