#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs into FOLDER/NAME:
    fuzz/make_seeds.py FOLDER
(ctest does so into the build before the replays; a campaign passes the
folder to its target beside the corpus). Each input starts with the settings bytes its target reads
(see the target's source), then the text: bytes 0, 26 and 255, lone CRs,
quotes in every position, records of one separator, settings that make every
value empty, compressed inputs whole, cut short and damaged."""
import gzip
import itertools
import os
import shutil
import sys

if len(sys.argv) != 2:
    sys.exit("usage: make_seeds.py FOLDER")
ROOT = sys.argv[1]

TEXTS = [
    b"",
    b"\x00", b"\x1a", b"\xff", b"a\x00b|c\n", b"a|b\x1ac|d\n", b"\xff\xfe|\xff\n",
    b"a\x1a", b"\x1a\n", b"a\n\x1a", b"a\n\x1ab\n",
    b"\r", b"a\rb\rc", b"a\r\rb", b"\r\n\r\n", b"\n\r", b"a|b\r",
    b"|", b"|\n|\n|", b",", b",,,\n", b"\t",
    b"\xef\xbb\xbfa|b\n", b"\xef\xbb",
    b"a|b|c\r\nd|e|f\r\n",
    b"1|2.5|TRUE|12/31/1999|13:45:00\n-3|1e3|no|2/29/2000|1:02:03.456 PM\n",
]

def quote_positions(q):
    """A quote in every position of a short record, and pairs of quotes."""
    base = b"ab|cd,ef\r\ngh"
    out = []
    for i in range(len(base) + 1):
        out.append(base[:i] + q + base[i:])
    out += [q, q * 2, q * 3, q * 4, q + b"a" + q, q + q + b"|" + q + q,
            q + b"a\nb" + q + b"|c\n", q + b"a" + q + q + b"b" + q + b"|x",
            q + b"unclosed|a\nb", b"a" + q + b"b" + q + b"c|d"]
    return out

def write(name, inputs):
    folder = os.path.join(ROOT, name)
    shutil.rmtree(folder, ignore_errors=True)  # no seed left from an earlier list
    os.makedirs(folder)
    for i, data in enumerate(inputs):
        with open(os.path.join(folder, "seed-%03d" % i), "wb") as f:
            f.write(data)

texts = TEXTS + quote_positions(b'"') + quote_positions(b"'")

# split: flags (bit 0 standard rules, bits 1-2 the quote, bits 3-5 the read
# buffer, bit 7 fixed-width records), then the separator.
split = []
for flags, sep in itertools.product([0x00, 0x05, 0x04, 0x03, 0x0d, 0x80, 0x81], [0, 1, 2, 3]):
    for text in texts:
        split.append(bytes([flags, sep]) + text)
write("split", split[::5])

# values: the format settings, then a value.
VALUES = [b"", b" ", b"0", b"-0", b"1.5", b"1,5", b".5", b"5.", b"1e308", b"1e309", b"1e-400",
          b"9223372036854775807", b"-9223372036854775808", b"9223372036854775808",
          b"922337203685477.5807", b"-0.00005", b"2.00025", b"12/31/1999", b"2/29/2000",
          b"2/29/1900", b"31.12.1999", b"1999-12-31", b"1/1/1", b"12/31/9999", b"5. March 2024",
          b"19991231", b"311299", b"Mar 5 2024", b"23:59:59.999", b"0:0", b"12:00 AM",
          b"12:00:00 PM", b"13:00 PM", b"1/2/2003 4:05:06.789", b"TRUE", b"yes", b"t", b"N",
          b"\x00", b"\x1a", b"\xff", b"\r"]
write("values", [bytes([v]) + t for v in range(8) for t in VALUES])

# import: flags (bit 0 standard rules, bit 1 fixed width, bits 2-3 header and
# trailer stored, bit 4 whole values, bits 5-6 the field filter), quote and
# separator, custom separator, header/trailer counts and read buffer, field
# count, then one byte per field (type, width, required).
imports = []
settings = [
    bytes([0x00, 0x00, 0, 0x00, 3, 0, 1, 2, 3]),
    bytes([0x01, 0x02, 0, 0x00, 3, 0, 1, 2, 3]),
    bytes([0x01, 0x0b, 4, 0x05, 2, 4, 5, 9, 6]),
    bytes([0x02, 0x00, 0, 0x10, 3, 0x10, 0x20, 0x50, 0x30]),
    bytes([0x0c, 0x01, 0, 0x36, 1, 0x80, 0x07]),
    bytes([0x21, 0x02, 0, 0x00, 1, 0x06]),
    # every value empty: fixed width fields of width 0
    bytes([0x02, 0x00, 0, 0x00, 3, 0x00, 0x0b, 0x01, 0x02]),
]
for s in settings:
    for text in texts[::2]:
        imports.append(s + text)
# compressed input (bit 7): whole, cut short, damaged, and a zstd frame's
# magic alone.
packed = gzip.compress(b"a,b\r\n1,2\r\n\"q\",3\n", mtime=0)
for data in (packed, packed + packed, packed[:-5], packed[:12] + b"\xff" + packed[13:],
             b"\x28\xb5\x2f\xfd", b"\x1f\x8b"):
    imports.append(bytes([0x80, 0x02, 0, 0x00, 1, 0x00, 0x00]) + data)
write("import", imports)

# sniff: flags (bits 0-1 the sample: default, a few records, a few bytes,
# every record; bit 2 widths in bytes; bits 3-5 the bytes a read gives),
# then a small file of each layout the sniffer tells apart.
SNIFF_TEXTS = [
    b"id,name,amount\n1,Ann,2.50\n2,Bob,3.10\n",
    b"a;b;c\r\n1,5;2;x\r\n3,25;4;y\r\n",
    b"a\tb\n\"x\ty\"\t2\n\"p\"\"q\"\t3\n",
    b"a|b\n'x|y'|1\n'z'|2\n",
    b"id  name  amount\n1   Ann     2.50\n22  Bob     13.1\n",
    b"# title\n# notes\nx,y\n1,2\n3,4\n",
    b"report of 2024\n\nx,y\n1,2\n3,4\n",
    b"a,b\n\"x\\\"y\",1\n\"z\\\\\",2\n",
    b"a,b\n\"x\"y\",1\n\"q\"r\",2\n",
    b"a\xc2\xa6b\n1\xc2\xa62\n3\xc2\xa64\n",
    b"a\x00b\n1\x00x\n2\x00y\n",
    b"\xef\xbb\xbfa,b\n1,2\n",
    b"\xff\xfea\x00,\x00b\x00\n\x001\x00,\x002\x00\n\x00",
    b"caf\xe9,na\xefve\n1,2\n",
    b"d,t\n31/12/1999,2024-03-05 13:45:00+01\n1/2/2003,2024-03-05T01:02:03\n",
    b"a,b\n1,\"unclosed\n2,3\n",
    b"x\n\n \n y \n",
    b"a,b\r1,2\r3,4",
]
sniff = [bytes([flags]) + text for flags in (0x00, 0x01, 0x0a, 0x23, 0x3f, 0x04)
         for text in SNIFF_TEXTS]
sniff.append(b"\x00" + gzip.compress(SNIFF_TEXTS[0], mtime=0))
write("sniff", sniff)
