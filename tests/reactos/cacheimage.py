#!/usr/bin/env python3
"""Reads what the driver left on an SSD image, for run-scenario.sh.

cacheimage.py header IMAGE OFFSET
    The cache area's header sector at OFFSET: prints "zero" for a wiped
    sector, else "size=N version=N name=S stamp=N previous-stamp=N slots=N
    block-shift=N" (previous-stamp: the stamp of the header it replaced).
cacheimage.py count IMAGE START END KIND DISK OFFSET BYTES
    How many sectors of the client's pattern (client/pattern.cpp) for KIND,
    DISK and the byte range [OFFSET, OFFSET + BYTES) lie, byte for byte, in
    the image between START and END; prints the number.
"""
import struct
import sys

SECTOR = 512


def header(image, offset):
    with open(image, "rb") as f:
        f.seek(offset)
        sector = f.read(SECTOR)
    if sector.count(0) == SECTOR:
        print("zero")
        return
    size, version = struct.unpack_from("<II", sector, 0)
    name = sector[8:72].decode("utf-16-le", "replace").split("\0")[0]
    (stamp,) = struct.unpack_from("<Q", sector, 0x48)
    (slots,) = struct.unpack_from("<I", sector, 0x88)
    shift = sector[0x8C]
    (previous,) = struct.unpack_from("<Q", sector, 0x100 + 0x48)
    print(f"size={size} version={version} name={name} stamp={stamp} previous-stamp={previous} "
          f"slots={slots} block-shift={shift}")


def pattern_sector(kind, disk, offset):
    line = f"TVC{kind} disk={disk} offset={offset:012d}\n".encode()
    letter = b"abcdefghijklmnopqrstuvwxyz"[(offset // SECTOR) % 26:][:1]
    return line + letter * (SECTOR - len(line))


def count(image, start, end, kind, disk, offset, nbytes):
    wanted = {pattern_sector(kind, disk, offset + at) for at in range(0, nbytes, SECTOR)}
    found = set()
    with open(image, "rb") as f:
        f.seek(start)
        data = f.read(end - start)
    for at in range(0, len(data) - SECTOR + 1, SECTOR):
        sector = data[at:at + SECTOR]
        if sector in wanted:
            found.add(sector)
    print(len(found))


def main(argv):
    if len(argv) == 4 and argv[1] == "header":
        header(argv[2], int(argv[3]))
    elif len(argv) == 9 and argv[1] == "count":
        count(argv[2], int(argv[3]), int(argv[4]), argv[5], argv[6], int(argv[7]), int(argv[8]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
