# Reads an event-log file (layout in src/platform/EventLog.h) without the
# library's code, checks every invariant of the layout and prints one line
# per record: generation, number, type, category, id, source, SID, strings
# joined by "|", data; "-" stands for an empty SID, string list or data.
import struct, sys

raw = open(sys.argv[1], 'rb').read()
magic, hlen, version, generation, first = struct.unpack_from('<4sIIII', raw, 0)
assert magic == b'HWEL' and hlen == 32 and version == 1, 'file header'
pos = hlen
while pos < len(raw):
    (length, reserved, number, tgen, twrite, eid, etype, nstr, cat, rflags, closing,
     soff, sidlen, sidoff, dlen, doff) = struct.unpack_from('<IIIIIIHHHHIIIIII', raw, pos)
    rec = raw[pos:pos + length]
    assert reserved == 0x654C664C and length % 4 == 0 and len(rec) == length, 'record header'
    assert struct.unpack_from('<I', rec, length - 4)[0] == length, 'trailing length'
    assert rflags == 0 and closing == 0 and tgen == twrite
    source, computer = rec[56:].split(b'\0')[:2]
    names_end = 56 + len(source) + len(computer) + 2
    assert sidoff == (names_end + 3) // 4 * 4 and not any(rec[names_end:sidoff]), 'padding'
    assert soff == sidoff + sidlen
    strings = rec[soff:doff].split(b'\0')[:-1] if nstr else []
    assert len(strings) == nstr and 0 <= length - 4 - (doff + dlen) < 4, 'strings and data'
    print(generation, number, etype, cat, hex(eid), source.decode(), rec[sidoff:soff].hex() or '-',
          '|'.join(s.decode() for s in strings) or '-', rec[doff:doff + dlen].hex() or '-')
    pos += length
