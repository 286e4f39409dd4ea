"""BRTEX textures, with BRPLT palettes for the indexed formats, decoded into
RGBA pixels by libkestrune, the decoder of the kestrune tool: the same
pixels the tool writes, exactly.

    import kestrune
    with open("wood.brtex", "rb") as f:
        texture = kestrune.decode(f.read())
    texture.width, texture.height, texture.rgba    # R, G, B, A bytes, rows top first

An indexed texture (CI4, CI8) needs its palette's bytes too:
kestrune.decode(texture_bytes, palette_bytes). A failure raises
kestrune.KestruneError, which names its cause.

Where Pillow is installed, importing kestrune lets Image.open read a
texture whose file starts with TEX0, as an RGBA image; an indexed one takes
the palette beside it as `kestrune --batch` pairs them (wood.brplt, the
exact spelling first, then in any case). kestrune.open(texture_path,
palette_path) opens one with a palette named explicitly.
"""

import builtins
import collections
import ctypes
import ctypes.util
import os
import sys

__all__ = ["decode", "encode", "open", "facts", "Texture", "Facts", "KestruneError", "library_version"]

Texture = collections.namedtuple("Texture", "width height rgba")
Texture.__doc__ = "A decoded texture: its width, height and RGBA bytes, rows top first."

Facts = collections.namedtuple("Facts", "width height format format_name needs_palette missing")
Facts.__doc__ = "What a texture's header says: its size, format, whether it needs a palette, how many texel bytes it lacks."


class KestruneError(ValueError):
    """A texture or palette that cannot be decoded; the message names why."""


class _Facts(ctypes.Structure):
    _fields_ = [("size", ctypes.c_uint32), ("width", ctypes.c_uint32), ("height", ctypes.c_uint32),
                ("format", ctypes.c_uint32), ("needs_palette", ctypes.c_int), ("header_cut", ctypes.c_int),
                ("missing", ctypes.c_uint64), ("texel_offset", ctypes.c_uint64), ("texel_length", ctypes.c_uint64)]


def _load():
    """libkestrune.so.1 beside this package first (a prefix install or the
    archive: lib/ three folders up, or its multiarch folder), then the
    system's."""
    here = os.path.dirname(os.path.abspath(__file__))
    lib = os.path.normpath(os.path.join(here, "..", "..", ".."))
    places = [here]
    if os.path.isdir(lib):
        places += [lib] + [os.path.join(lib, d) for d in sorted(os.listdir(lib)) if d.endswith("-linux-gnu")]
    for place in places:
        candidate = os.path.join(place, "libkestrune.so.1")
        if os.path.exists(candidate):
            return ctypes.CDLL(candidate)
    return ctypes.CDLL(ctypes.util.find_library("kestrune") or "libkestrune.so.1")


_lib = _load()
_bytes = ctypes.c_char_p
_lib.kestrune_read_facts.argtypes = [_bytes, ctypes.c_size_t, ctypes.POINTER(_Facts)]
_lib.kestrune_rgba_size.argtypes = [ctypes.POINTER(_Facts), ctypes.POINTER(ctypes.c_size_t)]
_lib.kestrune_decode_rgba.argtypes = [_bytes, ctypes.c_size_t, _bytes, ctypes.c_size_t, _bytes, ctypes.c_size_t,
                                      ctypes.c_size_t]
_lib.kestrune_encode_rgba.argtypes = [_bytes, ctypes.c_size_t, _bytes, ctypes.c_size_t, _bytes, ctypes.c_size_t,
                                      ctypes.c_size_t, ctypes.c_void_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_uint64)]
_new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
_new_bytes.argtypes = [ctypes.c_char_p, ctypes.c_ssize_t]
_new_bytes.restype = ctypes.py_object
_lib.kestrune_palette_beside.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_char_p), ctypes.c_size_t]
_lib.kestrune_palette_beside.restype = ctypes.c_long
_lib.kestrune_format_name.argtypes = [ctypes.c_uint32]
_lib.kestrune_format_name.restype = ctypes.c_char_p
_lib.kestrune_result_text.argtypes = [ctypes.c_int]
_lib.kestrune_result_text.restype = ctypes.c_char_p
_lib.kestrune_version.restype = ctypes.c_char_p


def library_version():
    """The version of the libkestrune in use."""
    return _lib.kestrune_version().decode()


def _check(result):
    if result != 0:
        raise KestruneError(_lib.kestrune_result_text(result).decode())


def _read_facts(texture):
    raw = _Facts()
    _check(_lib.kestrune_read_facts(texture, len(texture), ctypes.byref(raw)))
    return raw


def facts(texture_bytes):
    """The facts of a texture from its file's bytes, without decoding it."""
    texture_bytes = bytes(texture_bytes)
    raw = _read_facts(texture_bytes)
    name = _lib.kestrune_format_name(raw.format)
    return Facts(raw.width, raw.height, raw.format, name.decode() if name else None, bool(raw.needs_palette), raw.missing)


def _unshared_bytes(size):
    """A new bytes object of `size` bytes, not yet filled: the decoder writes
    the pixels into it before anything else can see it, as a C extension
    fills the bytes it makes. One allocation, and no copy of the pixels."""
    made = _new_bytes(None, size)
    if size > 0 and sys.getrefcount(made) != 2:  # a shared object, which must never be written
        raise MemoryError("no bytes object of its own for the pixels")
    return made


def decode(texture_bytes, palette_bytes=None):
    """Decodes a texture file's bytes, and where it is indexed its palette
    file's bytes, into a Texture(width, height, rgba), rgba being bytes."""
    texture_bytes = bytes(texture_bytes)
    palette_bytes = None if palette_bytes is None else bytes(palette_bytes)
    raw = _read_facts(texture_bytes)
    size = ctypes.c_size_t()
    _check(_lib.kestrune_rgba_size(ctypes.byref(raw), ctypes.byref(size)))
    rgba = _unshared_bytes(size.value)
    _check(_lib.kestrune_decode_rgba(texture_bytes, len(texture_bytes), palette_bytes,
                                     0 if palette_bytes is None else len(palette_bytes), rgba, size.value, 4 * raw.width))
    return Texture(raw.width, raw.height, rgba)


def encode(template_bytes, rgba, width, height, palette_bytes=None):
    """A new texture's bytes: the texture `template_bytes` with its texel
    data replaced by `rgba` (width x height pixels, R, G, B, A bytes, rows
    top first), encoded in its own format; every other byte kept. A texel
    that already decodes to its pixel keeps its bytes; any other pixel takes
    the nearest value the format holds. An indexed texture needs its
    palette's bytes."""
    template_bytes = bytes(template_bytes)
    rgba = bytes(rgba)
    palette_bytes = None if palette_bytes is None else bytes(palette_bytes)
    raw = _read_facts(template_bytes)
    if (width, height) != (raw.width, raw.height):
        raise KestruneError("the pixels are %dx%d and the texture is %dx%d" % (width, height, raw.width, raw.height))
    made = bytearray(template_bytes)
    end = raw.texel_offset + raw.texel_length
    if len(made) < end:
        made.extend(bytes(end - len(made)))  # read as the decoder reads a file that ends early
    texels = (ctypes.c_char * raw.texel_length).from_buffer(made, raw.texel_offset) if raw.texel_length else None
    inexact = ctypes.c_uint64()
    _check(_lib.kestrune_encode_rgba(template_bytes, len(template_bytes), palette_bytes,
                                     0 if palette_bytes is None else len(palette_bytes), rgba, len(rgba), 4 * width,
                                     ctypes.cast(texels, ctypes.c_void_p) if texels is not None else None,
                                     raw.texel_length, ctypes.byref(inexact)))
    del texels  # the view into `made` must go before it is copied
    return bytes(made)


def _palette_beside(texture_path):
    """The palette beside a texture by the tool's rule, or None; and the
    name it looked for."""
    folder, name = os.path.split(os.path.abspath(texture_path))
    names = sorted(os.listdir(folder))
    encoded = [os.fsencode(n) for n in names]
    array = (ctypes.c_char_p * len(encoded))(*encoded)
    chosen = _lib.kestrune_palette_beside(os.fsencode(name), array, len(encoded))
    stem = name[:-6] if name.lower().endswith(".brtex") else name
    return (os.path.join(folder, names[chosen]) if chosen >= 0 else None), stem + ".brplt"


def _read(path):
    with builtins.open(path, "rb") as f:
        return f.read()


def open(texture_path, palette_path=None):
    """A texture as a Pillow image in mode RGBA, with the palette named, or
    for an indexed texture without one, the palette beside it."""
    from PIL import Image
    texture_bytes = _read(texture_path)
    if palette_path is None and _read_facts(texture_bytes).needs_palette:
        palette_path, looked_for = _palette_beside(texture_path)
        if palette_path is None:
            raise KestruneError("%s needs a palette, and %s is not beside it" % (texture_path, looked_for))
    texture = decode(texture_bytes, None if palette_path is None else _read(palette_path))
    return Image.frombytes("RGBA", (texture.width, texture.height), texture.rgba)


def _register_with_pillow():
    try:
        from PIL import Image, ImageFile
    except ImportError:
        return
    import io

    class BrtexImageFile(ImageFile.ImageFile):
        format = "BRTEX"
        format_description = "BRTEX texture"

        def _open(self):
            texture_bytes = self.fp.read()
            if self._exclusive_fp:  # a file Pillow opened, now read whole
                self.fp.close()
            raw = _read_facts(texture_bytes)
            palette = None
            if raw.needs_palette:
                path, looked_for = _palette_beside(self.filename) if self.filename else (None, "its palette")
                if path is None:
                    raise KestruneError("%s needs a palette, and %s is not beside it" % (self.filename or "the texture",
                                                                                        looked_for))
                palette = _read(path)
            texture = decode(texture_bytes, palette)
            if isinstance(getattr(type(self), "mode", None), property):
                self._mode = "RGBA"  # Pillow 10 and later
            else:
                self.mode = "RGBA"
            self._size = (texture.width, texture.height)
            self.fp = io.BytesIO(texture.rgba)
            self.tile = [(BrtexImageFile.format, (0, 0, texture.width, texture.height), 0, None)]

    class Pixels(ImageFile.PyDecoder):
        """Hands Pillow the pixels decoded on opening (a raw tile would be
        read from the file itself)."""
        _pulls_fd = True

        def decode(self, buffer):
            self.set_as_raw(self.fd.read(), "RGBA")
            return -1, 0

    Image.register_decoder(BrtexImageFile.format, Pixels)
    Image.register_open(BrtexImageFile.format, BrtexImageFile, lambda prefix: prefix[:4] == b"TEX0")
    Image.register_extension(BrtexImageFile.format, ".brtex")


_register_with_pillow()
