#!/usr/bin/env python3
"""Tags a DSF or DSDIFF file with mutagen, an outside ID3v2 writer.

usage: mutagen_tag.py FILE VERSION ENCODING [--unsync]
  VERSION   3 or 4: the ID3v2 version written; 2: mutagen writes version 2.3, whose tag is
            then replaced by a version 2.2 tag made here (mutagen reads 2.2 but writes no 2.2)
  ENCODING  the text encoding of the text frames: 0 Latin-1, 1 UTF-16 with a byte-order
            mark, 2 UTF-16BE, 3 UTF-8 (mutagen writes 2 and 3 as 1 in version 2.3)
  --unsync  unsynchronise the tag afterwards (mutagen never does): version 2.3 as a whole,
            version 2.4 frame by frame; the container's sizes are mended to match
"""
import struct
import sys

from mutagen.dsdiff import DSDIFF
from mutagen.dsf import DSF
from mutagen.id3 import APIC, COMM, TALB, TCON, TDRC, TIT2, TPE1, TPE2, TPOS, TRCK

# Bytes 0xFF followed by 0xE0 and 0x00 are what unsynchronisation changes.
PICTURE = bytes([0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10]) + bytes(range(256)) * 4 + bytes([0xFF, 0x00, 0xFF])


def tag(path, version, enc):
    f = (DSDIFF if path.endswith(".dff") else DSF)(path)
    f.add_tags()
    t = f.tags
    t.add(TIT2(encoding=enc, text=["Ärger über Öl"]))
    t.add(TPE1(encoding=enc, text=["First Artist", "Second Artist"]))
    t.add(TALB(encoding=enc, text=["An Album"]))
    t.add(TPE2(encoding=enc, text=["The Band"]))
    t.add(TRCK(encoding=enc, text=["3/12"]))
    t.add(TPOS(encoding=enc, text=["1/2"]))
    t.add(TDRC(encoding=enc, text=["2021-03-04"]))
    t.add(TCON(encoding=enc, text=["17", "Jazz"]))
    t.add(COMM(encoding=enc, lang="eng", desc="", text=["Said in passing"]))
    t.add(APIC(encoding=enc, mime="image/jpeg", type=3, desc="Front", data=PICTURE))
    t.add(APIC(encoding=0, mime="image/png", type=4, desc="", data=PICTURE[:100]))
    f.save(v2_version=version)


def synchsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def unsynchsafe(b):
    return (b[0] << 21) | (b[1] << 14) | (b[2] << 7) | b[3]


def unsync(data):
    return data.replace(b"\xff", b"\xff\x00")


def unsync_tag(tag):
    version, size = tag[3], unsynchsafe(tag[6:10])
    body = tag[10:10 + size]
    if version <= 3:
        body = unsync(body)
    else:
        frames, pos = b"", 0
        while pos + 10 <= len(body) and body[pos] != 0:
            fsize = unsynchsafe(body[pos + 4:pos + 8])
            fbody = unsync(body[pos + 10:pos + 10 + fsize])
            flags = struct.unpack(">H", body[pos + 8:pos + 10])[0] | 0x0002
            frames += body[pos:pos + 4] + synchsafe(len(fbody)) + struct.pack(">H", flags) + fbody
            pos += 10 + fsize
        body = frames
    return tag[:5] + bytes([tag[5] | 0x80]) + synchsafe(len(body)) + body


def v22_frame(fid, body):
    return fid + struct.pack(">I", len(body))[1:] + body


def v22_tag():
    """Title in UTF-16, the rest in Latin-1, a numeric genre and a PNG picture."""
    frames = (v22_frame(b"TT2", b"\x01" + "Ärger über Öl".encode("utf-16"))
              + v22_frame(b"TP1", b"\x00First Artist")
              + v22_frame(b"TAL", b"\x00An Album")
              + v22_frame(b"TRK", b"\x003/12")
              + v22_frame(b"TYE", b"\x002021")
              + v22_frame(b"TCO", b"\x00(17)")
              + v22_frame(b"COM", b"\x00eng\x00Said in passing")
              + v22_frame(b"PIC", b"\x00PNG\x03\x00" + PICTURE))
    return b"ID3\x02\x00\x00" + synchsafe(len(frames)) + frames


def replace_tag(path, make):
    """Puts make(old tag) in the place of the file's tag, and mends the container's sizes."""
    data = bytearray(open(path, "rb").read())
    if data[:4] == b"DSD ":
        at = struct.unpack("<Q", data[20:28])[0]
        new = make(bytes(data[at:]))
        data = data[:at] + new
        data[12:20] = struct.pack("<Q", len(data))
    else:
        pos = 16
        while pos + 12 <= len(data):
            cid, size = data[pos:pos + 4], struct.unpack(">Q", data[pos + 4:pos + 12])[0]
            if cid == b"ID3 ":
                new = make(bytes(data[pos + 12:pos + 12 + size]))
                rest = data[pos + 12 + size + (size & 1):]
                data = data[:pos + 4] + struct.pack(">Q", len(new)) + new + (b"\0" if len(new) & 1 else b"") + rest
                break
            pos += 12 + size + (size & 1)
        data[4:12] = struct.pack(">Q", len(data) - 12)
    open(path, "wb").write(data)


if __name__ == "__main__":
    version = int(sys.argv[2])
    tag(sys.argv[1], max(version, 3), int(sys.argv[3]))
    if version == 2:
        replace_tag(sys.argv[1], lambda old: v22_tag())
    if "--unsync" in sys.argv[4:]:
        replace_tag(sys.argv[1], unsync_tag)
