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

# pathregistry_repair: registry file contents; the repair runs on each.
for name, data in [
    ("intact", b'{"config":["/"],"log":["/"],"runtime":["/"],"external_drivers":["/d"]}'),
    ("one_invalid", b'{"config":["/"],"log":["/nonexistent/log","/"],"runtime":["/"]}'),
    ("trailing_slashes", b'{"runtime":["/nonexistent/r/","/nonexistent/r"],"log":["/"],'
                         b'"config":["/nonexistent/c//"]}'),
    ("truncated", b'{"runtime":["/r"],"config":['),
    ("not_object", b'"runtime"'),
    ("nested_list", b'{"runtime":[["/r"]],"log":[{}]}'),
    ("empty", b""),
    ("bom_only", b"\xef\xbb\xbf"),
]:
    write("pathregistry_repair", name, data)

# localization: driver index, NUL, en_US language file, NUL, de_DE language
# file, NUL, web interface string file (pagehost_german.json).
def loc(index, english=b"", german=b"", web=b""):
    return index + b"\0" + english + b"\0" + german + b"\0" + web


for name, data in [
    ("old_style", loc(b'[{"language_tag":"en_US","Title":"Title","Hi":"Hello %1$s"},'
                      b'{"language_tag":"de_DE","Title":"Titel"}]',
                      web=b'{"Shared":"web","TITLE":"web title","title":"second"}')),
    ("new_style", loc(b'{"en_US":"en.json","de_DE":"{drv}/localization/de.json","fr_FR":"x.json"}',
                      b'{"Title":"Title","Only":"english"}', b'{"Title":"Titel","n":7}',
                      b'{"k":"v"}')),
    ("new_style_missing", loc(b'{"en_us":"missing.json","DE_de":["not","text"]}')),
    ("neither", loc(b'42', web=b'[1,2]')),
    ("odd_entries", loc(b'[{"language_tag":["x"]},7,{"language_tag":"en_us","a":{"b":1},"B":null}]',
                        web=b'{"":"empty key","#hash":"h","x":true,"y":1.5}')),
    ("placeholders", loc(b'[{"language_tag":"de_de","T":"%1$s %2$s %3$s %1$s %%1$s"}]')),
]:
    write("localization", name, data)

# jsonutils: a document, NUL, a second document (merged into the first).
for name, data in [
    ("merge_objects", b'{"a":{"x":1,"y":[1]},"b":true,"c":"keep"}\0{"a":{"y":2,"z":{}},"b":null}'),
    ("vectors", b'[[1,"2.5x",3],["1e-40",0,"1e39"],[1,2],["nan","inf","-0"],[{},1,2]]\0[]'),
    ("conversions", b'{"t":"true","T":"TRUE","f":false,"full":"Full","none":"none","n":7,'
                    b'"e":[],"o":{}}\0"str"'),
    ("comments_bom_crlf", b'\xef\xbb\xbf{ // note\r\n "k": 1 /* c */ }\r\n\0{"k":{"deep":1}}'),
    ("broken", b'{"a": [1, 2\0[1,'),
    ("scalars", b'3\0{"x":1}'),
]:
    write("jsonutils", name, data)

# halyard_events: 60-byte records: type (u32), device (u32), age (f32), 48
# bytes of data (console id u64, or screenshot handle u32, from offset 12).
def event(etype, data=b""):
    return struct.pack("<IIf", etype, 0, 0.0) + data.ljust(48, b"\0")


write("halyard_events", "consoles",
      event(420, struct.pack("<Q", 7)) + event(420, struct.pack("<Q", 9)) + event(420, struct.pack("<Q", 7))
      + event(421, struct.pack("<Q", 7)) + event(421, struct.pack("<Q", 1 << 63)) + event(420, struct.pack("<Q", 7)))
write("halyard_events", "screenshots",
      event(516, struct.pack("<I", 3)) + event(521) + event(516, struct.pack("<I", 4)) + event(522)
      + event(523, struct.pack("<I", 5)) + event(521) + event(999, struct.pack("<I", 6)))
write("halyard_events", "quit_then_more", event(420, struct.pack("<Q", 1)) + event(700) + event(421))
write("halyard_events", "short_record", event(420, struct.pack("<Q", 2)) + struct.pack("<IIfI", 421, 0, 0.0, 2))

# diriterator: a wildcard pattern over a fixed directory.
for name, data in [
    ("everything", b"*"),
    ("star_dot_star", b"*.*"),
    ("extension", b"*.TXT"),
    ("one_char", b"file?.log"),
    ("stars", b"**a*.*t**"),
    ("literal_wildcards", b"x?y"),
    ("empty", b""),
    ("subdirectory", b"sub/*"),
    ("missing_directory", b"nowhere/*"),
]:
    write("diriterator", name, data)

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

# sim_config: configuration file texts.
for name, data in [
    ("example", b'{\n  "withhold_interfaces": ["IVRMailbox_002"],\n'
                b'  "settings": {"orrery": {"loglevel": 4, "startOverlayAppsFromDashboard": false},\n'
                b'               "userinterface": {"screenshots": true, "screenshotType": 2}},\n'
                b'  "screenshots": {"outcome": "taken"},\n'
                b'  "host": {"running": false, "language": "german"},\n'
                b'  "resource_dir": "/opt/runtime/resources"\n}\n'),
    ("every_member", b'{"interfaces": ["IVRSystem_023"], "refuse_interfaces": [], "init_error": 105,'
                     b' "hmd_property_container": 0, "journal_limit": 10,'
                     b' "screenshots": {"extension": ".jpg", "fail_type_query": true,'
                     b' "fail_filename_kinds": [0, 1]},'
                     b' "host": {"init_result": 1, "app_id": 424242, "interfaces": [],'
                     b' "withhold_interfaces": ["QuillUser023"], "user_id": 1, "user_name": "x",'
                     b' "user_handle": 2, "screenshot_library": "/tmp/l", "invite_result": false}}'),
    ("comments", b'// a comment\n{ /* and another */ "init_error": 0 }\n'),
    ("wrong_types", b'{"host": {"running": "yes", "app_id": 4294967296}, "journal_limit": 0,'
                    b' "settings": {"s": {"k": [1]}}, "bogus": 1}'),
    ("deep", b"[" * 70 + b"]" * 70),
]:
    write("sim_config", name, data)


# standin_replies: one directive per request the libraries send (see
# fuzz_standin_replies.cpp): the hello and L_Init of the runtime library, its
# calls in the driver's order, then the host client library's.
def answer(payload=b"", status=None):
    if status is None:
        return b"\x00" + s(payload)
    return b"\x01" + bytes([status]) + s(payload)


def with_page(payload, kind, token=7, stall=0, events=0, running=1):
    return b"\x02" + s(payload) + bytes([kind]) + struct.pack("<IIII", token, stall, events, running)


HELLO = answer(struct.pack("<HI", 1, 4242))
INIT = struct.pack("<iI", 0, 7) + strlist("IVRSystem_023", "IVRSettings_003", "IVRScreenshots_001")
YES = answer(b"\x01")
event = struct.pack("<II", 516, 0xFFFFFFFF) + bytes(48)
runtime = (HELLO + with_page(INIT, 1, events=1) + YES  # version valid
           + YES + answer(struct.pack("<I", 1) + event) + answer(struct.pack("<I", 0))
           + YES + answer(struct.pack("<iq", 0, 1)) + answer(struct.pack("<iq", 0, 3))
           + YES + answer(struct.pack("<Q", 0x100000001))
           + YES + answer(struct.pack("<iI", 0, 1)) + answer(struct.pack("<ii", 0, 1))
           + answer(struct.pack("<i", 0) + s("/tmp/a.png"))
           + YES + answer(s("/res/r.txt"))
           + YES + answer(struct.pack("<IQ", 0, 9))
           + answer(struct.pack("<I", 0) + struct.pack("<III", 1, 4, 0) + s(b"\x01\x02\x03\x04")
                    + struct.pack("<III", 2, 4, 0) + s(b"\x05\x06\x07\x08")
                    + struct.pack("<III", 3, 8, 0) + s(bytes(8)))
           + answer(struct.pack("<I", 0)) + answer())
host = (HELLO + with_page(b"\x01", 1) + answer(struct.pack("<i", 0) + s("") + struct.pack("<Qi", 1, 1))
        + answer(struct.pack("<I", 2) + struct.pack("<i", 304) + s(struct.pack("<Qi", 5, 1))
                 + struct.pack("<i", 704) + s(b""))
        + YES + answer(struct.pack("<I", 424242)) + answer(s("english"))
        + YES + answer(struct.pack("<Q", 0x0110000100003039))
        + YES + answer(s("Simulated User"))
        + YES + answer(struct.pack("<I", 1)) + answer())
write("standin_replies", "sound", runtime + host)
write("standin_replies", "refused_hello",
      answer(b"connection refused: too many", status=6) + answer(b"", status=4))
write("standin_replies", "bad_pages",
      HELLO + with_page(INIT, 2) + HELLO + with_page(b"\x01", 4))
write("standin_replies", "cut_frames",
      HELLO + b"\x04" + struct.pack("<I", 100) + s(b"\x00\x00\x00")
      + HELLO + b"\x03")
write("standin_replies", "odd_answers",
      HELLO + with_page(INIT, 6, stall=1, events=3) + answer(b"", status=2)
      + YES + answer(struct.pack("<I", 1000000) + event)
      + YES + answer(struct.pack("<i", 0))
      + answer(struct.pack("<iq", 2, 0)))
