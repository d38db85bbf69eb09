#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into fuzz/corpus/.

Run once by hand when the seeds should change; the files it writes are
committed. diblayout: small DIBs of every layout the layout check accepts and
the edges around them. hosttag: resolution pairs at the edges of the
truncation.
"""
import os
import shutil
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def dib(width, height, bits, table=None, used=0, compression=0, header=40, planes=1,
        rows_from=None, cut=0, extra=0, size_image=0, payload=None):
    """A packed DIB: header, masks (bit fields after a 40-byte header), table, rows.

    table: entries written after the header (default: what GDI reads);
    rows_from: the pixel rows' height when it differs from the header's;
    cut: bytes taken off the end; extra: zero bytes added to it;
    size_image: biSizeImage; payload: compressed bits written instead of rows.
    """
    if table is None:
        table = (used or 1 << bits) if 1 <= bits <= 8 else used
    out = struct.pack('<IiiHHIIiiII', header, width, height, planes, bits, compression,
                      size_image, 2835, 2835, used, 0)
    out += bytes(max(header - 40, 0))
    if compression == 3:
        masks = struct.pack('<III', 0xF800, 0x07E0, 0x001F) if bits == 16 else \
            struct.pack('<III', 0xFF0000, 0xFF00, 0xFF)
        if header == 40:
            out += masks
        else:
            out = out[:40] + masks + out[52:]
    out += b''.join(struct.pack('<I', (i * 0x010101) & 0xFFFFFF) for i in range(table))
    rows = abs(rows_from if rows_from is not None else height)
    stride = (max(width, 0) * bits + 31) // 32 * 4
    if payload is not None:
        out += payload
    else:
        out += bytes((i * 7 + 3) & 0xFF for i in range(stride * rows))
    out += bytes(extra)
    return out[:len(out) - cut] if cut else out


# Run-length bits: each row one run and an end of line, then the end of the
# bitmap.
RLE8_4X4 = b'\x04\x07\x00\x00' * 4 + b'\x00\x01'
RLE4_4X2 = b'\x04\x35\x00\x00' * 2 + b'\x00\x01'


def diblayout():
    seeds = {
        # Every layout the check accepts.
        '1bit': dib(9, 3, 1),
        '1bit-used2-full': dib(9, 3, 1, used=2),
        '1bit-used1': dib(9, -3, 1, used=1),
        '4bit': dib(5, 3, 4),
        '4bit-used16-full': dib(5, 3, 4, used=16),
        '4bit-used5': dib(5, -2, 4, used=5),
        '8bit': dib(6, 4, 8),
        '8bit-used256-full': dib(6, 4, 8, used=256),
        '8bit-used3': dib(6, 4, 8, used=3),
        '8bit-topdown': dib(6, -4, 8),
        '8bit-v3-header': dib(4, 2, 8, header=56),
        '16bit': dib(3, 2, 16),
        '16bit-bitfields': dib(3, 2, 16, compression=3),
        '16bit-bitfields-v2': dib(3, -2, 16, compression=3, header=52),
        '24bit': dib(5, 2, 24),
        '24bit-topdown': dib(5, -2, 24),
        '24bit-optional-table': dib(5, 2, 24, used=3),
        '24bit-optional-table-256-spare': dib(1, 1, 24, used=256, extra=8),
        '32bit': dib(3, 2, 32),
        '32bit-bitfields': dib(3, 2, 32, compression=3),
        '32bit-v4': dib(3, 2, 32, header=108),
        '32bit-bitfields-v5-topdown': dib(3, -2, 32, compression=3, header=124),
        '32bit-spare-bytes': dib(3, 2, 32, extra=5),
        # The edges.
        'edge-8bit-one-byte-short': dib(6, 4, 8, cut=1),
        'edge-24bit-topdown-one-byte-short': dib(5, -2, 24, cut=1),
        'edge-masks-past-block': dib(2, 2, 16, compression=3)[:51],
        'edge-table-past-block': dib(6, 4, 8)[:300],
        'edge-header-cut': dib(6, 4, 8)[:39],
        'edge-huge-width': dib(0x7FFFFFFF, 1, 32, rows_from=0),
        'edge-rows-wrap-32bit': dib(4, 0x10000004, 32, rows_from=0),
        'edge-height-int-min': dib(1, -0x80000000, 8, rows_from=0),
        'edge-image-2g': dib(0x8000, -0x4000, 32, rows_from=0),
        'edge-4000x4000-in-1328': dib(4000, 4000, 8, rows_from=0, extra=264),
        'edge-used257': dib(4, 4, 8, used=257, table=256),
        'edge-core-header': struct.pack('<IHHHH', 12, 4, 4, 1, 8) + bytes(1024 + 16),
        'edge-rle8': dib(4, 4, 8, compression=1),
        'edge-planes2': dib(4, 4, 8, planes=2),
        # Layouts the view does not draw, kept only when their table or masks
        # and their declared bits fit the block.
        'rle8': dib(4, 4, 8, compression=1, size_image=len(RLE8_4X4), payload=RLE8_4X4),
        'rle4': dib(4, 2, 4, compression=2, size_image=len(RLE4_4X2), payload=RLE4_4X2),
        'jpeg-declared': dib(4, 4, 0, compression=4, size_image=6, payload=b'\xff\xd8\xff\xd9\0\0'),
        'png-declared-table3': dib(4, 4, 0, used=3, compression=5, size_image=8,
                                   payload=b'\x89PNG\r\n\x1a\n'),
        'unknown-compression-declared': dib(2, 2, 8, compression=0x1234, size_image=3,
                                            payload=b'abc'),
        '2bit': dib(5, 3, 2),
        '24bit-bitfields': dib(3, 2, 24, compression=3),
        'edge-rle8-4096x4096-in-40': dib(4096, 4096, 8, compression=1, payload=b'')[:40],
        'edge-rle4-4096x4096-in-40': dib(4096, 4096, 4, compression=2, payload=b'')[:40],
        'edge-jpeg-4096x4096-in-40': dib(4096, 4096, 0, compression=4, payload=b''),
        'edge-png-4096x4096-declared-past-40': dib(4096, 4096, 0, compression=5, size_image=1,
                                                   payload=b''),
        'edge-rle8-undeclared': dib(4096, 4096, 8, compression=1, payload=RLE8_4X4),
        'edge-rle8-declared-one-past': dib(4, 4, 8, compression=1, size_image=len(RLE8_4X4) + 1,
                                           payload=RLE8_4X4),
        'edge-rle8-used257': dib(4, 4, 8, used=257, table=256, compression=1,
                                 size_image=len(RLE8_4X4), payload=RLE8_4X4),
        'edge-2bit-one-byte-short': dib(5, 3, 2, cut=1),
        'edge-24bit-bitfields-masks-past-block': dib(3, 2, 24, compression=3, rows_from=0)[:51],
        'edge-24bit-bitfields-huge-width': dib(0x7FFFFFF0, 1, 24, compression=3, rows_from=0),
    }
    return {name + '.dib': data for name, data in seeds.items()}


def hosttag():
    pairs = {
        'zero': (0.0, 0.0),
        'typical': (20.5, 10.0),
        'negative-fraction': (-1.9, 65537.9),
        'low-16-bits': (-32768.0, 65535.0),
        'nan-inf': (float('nan'), float('inf')),
        'minus-inf-huge': (float('-inf'), 1e30),
        'edges-2p63': (9223372036854775808.0, -9223372036854775808.0),
        'below-2p63': (9223372036854774784.0, -9223372036854774784.0),
        'next-below-minus-2p63': (-9223372036854777856.0, 1099511627781.0),
        'tiny': (5e-324, -0.0),
    }
    return {name + '.bin': struct.pack('<dd', a, b) for name, (a, b) in pairs.items()}


def main():
    for target, files in (('diblayout', diblayout()), ('hosttag', hosttag())):
        folder = os.path.join(HERE, 'corpus', target)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in sorted(files.items()):
            with open(os.path.join(folder, name), 'wb') as f:
                f.write(data)
        print(f'{folder}: {len(files)} files, {sum(map(len, files.values()))} bytes')


if __name__ == '__main__':
    main()
