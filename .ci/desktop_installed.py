"""The desktop packages as installed on this machine, with no variable set:
run by CI in a folder holding sample.brtex, sign.brtex with sign.brplt, and
lonely.brtex (sign's texels without a palette). The file type, the pixbuf
loader and GNOME's thumbnail factory, whose sandbox shows the thumbnailer
only the file itself: an indexed texture's thumbnail shows its indexes as
grey."""
import ctypes
import subprocess

import gi

gi.require_version("GdkPixbuf", "2.0")
gi.require_version("GnomeDesktop", "3.0")
from gi.repository import GdkPixbuf, GnomeDesktop  # noqa: E402

import kestrune  # noqa: E402


def pixels(pixbuf):
    data, stride, width = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_width() * 4
    return b"".join(data[row * stride:row * stride + width] for row in range(pixbuf.get_height()))


def read(name):
    with open(name, "rb") as f:
        return f.read()


def grey(name):
    texture = read(name)
    facts = kestrune.facts(texture)
    rgba = ctypes.create_string_buffer(facts.width * facts.height * 4)
    kestrune._lib.kestrune_decode_rgba_grey.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                                        ctypes.c_size_t, ctypes.c_size_t]
    assert kestrune._lib.kestrune_decode_rgba_grey(texture, len(texture), rgba, len(rgba), facts.width * 4) == 0
    return rgba.raw


sample = kestrune.decode(read("sample.brtex")).rgba
assert subprocess.run(["xdg-mime", "query", "filetype", "sample.brtex"], capture_output=True, text=True,
                      check=True).stdout.strip() == "image/x-brtex"
assert pixels(GdkPixbuf.Pixbuf.new_from_file("sample.brtex")) == sample, "the installed loader"
factory = GnomeDesktop.DesktopThumbnailFactory.new(GnomeDesktop.DesktopThumbnailSize.NORMAL)
for name, want in [("sample.brtex", sample), ("sign.brtex", grey("sign.brtex")), ("lonely.brtex", grey("lonely.brtex"))]:
    uri = "file://" + __import__("os").path.abspath(name)
    assert factory.can_thumbnail(uri, "image/x-brtex", 0), name
    thumbnail = factory.generate_thumbnail(uri, "image/x-brtex", None)
    assert pixels(thumbnail) == want, name
    thumbnail.savev(name + ".thumbnail.png", "png", [], [])
print("installed: the file type, the loader and GNOME's thumbnails as the library decodes")
