#!/usr/bin/env python3
"""Draws uninstaller/netpurge.ico: one 32x32 image in the 16 standard colours,
a network adapter card (board, chips, edge connector, network jack)."""
import struct, sys

PALETTE = [  # the 16 standard VGA colours, as (r, g, b)
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]
BLACK, GREEN, OLIVE, GREY, DARK, LIME, YELLOW, WHITE = 0, 2, 3, 7, 8, 10, 11, 15
W = H = 32
img = [[None] * W for _ in range(H)]  # None = transparent


def rect(x0, y0, x1, y1, c):
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            img[y][x] = c


rect(2, 8, 27, 24, GREEN)          # board
rect(2, 8, 27, 8, LIME)            # lit top edge
rect(2, 24, 27, 24, BLACK)         # shadow
rect(6, 25, 23, 27, YELLOW)        # edge connector
for x in range(7, 23, 2):
    rect(x, 25, x, 27, OLIVE)
rect(0, 6, 1, 26, GREY)            # bracket
rect(0, 6, 0, 26, WHITE)
rect(5, 12, 12, 19, BLACK)         # controller chip
rect(6, 13, 11, 18, DARK)
rect(15, 12, 18, 15, BLACK)        # EEPROM
rect(15, 18, 18, 21, BLACK)        # PHY
rect(21, 10, 29, 18, GREY)         # network jack
rect(22, 12, 28, 17, BLACK)
rect(24, 17, 26, 18, BLACK)
rect(22, 10, 23, 10, LIME)         # link light
rect(27, 10, 28, 10, YELLOW)       # activity light

xor = b''.join(bytes(((img[y][x] or 0) << 4) | (img[y][x + 1] or 0) for x in range(0, W, 2))
               for y in reversed(range(H)))
mask = b''
for y in reversed(range(H)):
    bits = 0
    for x in range(W):
        bits = (bits << 1) | (1 if img[y][x] is None else 0)
    mask += struct.pack('>I', bits)
header = struct.pack('<IiiHHIIiiII', 40, W, H * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
pal = b''.join(struct.pack('BBBB', b, g, r, 0) for r, g, b in PALETTE)
image = header + pal + xor + mask
ico = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', W, H, 16, 0, 1, 4, len(image), 22) + image
open(sys.argv[1] if len(sys.argv) > 1 else 'uninstaller/netpurge.ico', 'wb').write(ico)
