"""Times kestrune.decode in Python on the painted 1024 x 1024 CMPR and RGBA8
textures of a folder (make_painted set DIR 1024), against the library's own
decode into a buffer the script gives, through ctypes, alone and followed by
one copy of the pixels into a new bytes object (what a binding that decodes
into a buffer of its own must add): the least of 20 runs of each, in
milliseconds, and the ratio of kestrune.decode to the decode with its copy.

    PYTHONPATH=build/python python3 bench/python_decode.py DIR
"""
import ctypes
import os
import sys
import time

import kestrune


def least(run, times=20):
    best = float("inf")
    for _ in range(times):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return 1000 * best


folder = sys.argv[1]
for name in sorted(n for n in os.listdir(folder) if n.startswith("1024_") and n.endswith(("_CMPR.brtex", "_RGBA8.brtex"))):
    with open(os.path.join(folder, name), "rb") as f:
        data = f.read()
    texture = kestrune.decode(data)
    buffer = ctypes.create_string_buffer(len(texture.rgba))
    library = least(lambda: kestrune._lib.kestrune_decode_rgba(data, len(data), None, 0, buffer, len(buffer), 4 * texture.width))
    copied = least(lambda: (kestrune._lib.kestrune_decode_rgba(data, len(data), None, 0, buffer, len(buffer),
                                                               4 * texture.width), bytes(buffer)))
    python = least(lambda: kestrune.decode(data))
    print("%-28s library %6.2f ms   with a copy %6.2f ms   kestrune.decode %6.2f ms   %.2fx"
          % (name, library, copied, python, python / copied))
