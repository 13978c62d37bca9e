#!/usr/bin/env python3
"""Prints the size a bsdiff patch would have with its three streams (control,
difference, extra) packed as raw LZMA (preset 9) instead of bzip2: the same
patch content in the compressor the updater already carries. Checks that the
streams it re-packs give back the original bytes.

    bench/bsdiff_lzma_size.py PATCH
"""
import bz2
import lzma
import struct
import sys


def main() -> int:
    data = open(sys.argv[1], "rb").read()
    if data[:8] != b"BSDIFF40":
        print("not a BSDIFF40 patch", file=sys.stderr)
        return 1
    ctrl_len, diff_len, _new_size = struct.unpack("<qqq", data[8:32])
    blocks = [data[32:32 + ctrl_len], data[32 + ctrl_len:32 + ctrl_len + diff_len],
              data[32 + ctrl_len + diff_len:]]
    filters = [{"id": lzma.FILTER_LZMA1, "preset": 9}]
    total = 32
    for block in blocks:
        plain = bz2.decompress(block)
        packed = lzma.compress(plain, format=lzma.FORMAT_RAW, filters=filters)
        if lzma.decompress(packed, format=lzma.FORMAT_RAW, filters=filters) != plain:
            print("LZMA round trip differs", file=sys.stderr)
            return 1
        total += len(packed)
    print(total)
    return 0


if __name__ == "__main__":
    sys.exit(main())
