"""The desktop plug-ins in their hosts (run with Gnome, Qt or Gimp), against the build's MIME database and loader
cache: each shows the library's pixels of a texture of each format (GIMP five), and fails on damaged ones or shows
what the library does."""
import ctypes
import os
import random
import shutil
import subprocess
import tempfile
import unittest

import gi

gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402
from PIL import Image  # noqa: E402

import kestrune  # noqa: E402

BUILD = os.environ["KESTRUNE_BUILD"]
SOURCES = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Our own programs carry their sanitizer runtime, where they have one, and
# look for leaks: only the hosts that load our code (Python, gdk-pixbuf's
# thumbnailer) take it preloaded, and leak as they may.
OWN = {name: value for name, value in os.environ.items() if name not in ("LD_PRELOAD", "ASAN_OPTIONS")}
kestrune._lib.kestrune_decode_rgba_grey.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p,
                                                    ctypes.c_size_t, ctypes.c_size_t]


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def library_pixels(path, with_palette=True):
    """The library's pixels of the texture at `path`, with the palette beside
    it where it has one and `with_palette`, else its indexes as grey; None
    where the plug-ins refuse it: where the library does, where the file
    holds less than half the texel data its header claims, no pixel or a
    format code that is no texel format."""
    texture, palette = read(path), path[:-6] + ".brplt"
    facts = kestrune._Facts(ctypes.sizeof(kestrune._Facts))
    if (kestrune._lib.kestrune_read_facts(texture, len(texture), ctypes.byref(facts)) or 2 * facts.missing > facts.texel_length
            or facts.width * facts.height == 0 or kestrune._lib.kestrune_format_name(facts.format) is None):
        return None
    if not facts.needs_palette or (with_palette and os.path.exists(palette)):
        return kestrune.decode(texture, read(palette) if facts.needs_palette else None).rgba
    rgba = ctypes.create_string_buffer(facts.width * facts.height * 4)
    kestrune._lib.kestrune_decode_rgba_grey(texture, len(texture), rgba, len(rgba), facts.width * 4)
    return rgba.raw


def pixels(pixbuf):
    data, stride, width = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_width() * 4
    return b"".join(data[row * stride:row * stride + width] for row in range(pixbuf.get_height()))


class Desktop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """FORMAT.brtex for each format (FORMAT.brplt beside the indexed ones), the samples, and damaged/NAME.brtex:
        empty, cut, no width, no texture, random, texels cut short (by half), each header field overwritten."""
        cls.dir = tempfile.mkdtemp()
        tree = os.path.join(cls.dir, "tree")
        subprocess.run([os.path.join(BUILD, "make_painted"), "tree", tree, "100"], check=True, env=OWN)
        smallest = {}
        for root, _, names in os.walk(tree):
            for path in (os.path.join(root, name) for name in names if name.endswith(".brtex")):
                facts = kestrune.facts(read(path))
                smallest[facts.format_name] = min(smallest.get(facts.format_name, (1 << 32, "")), (facts.width, path))
        assert len(smallest) == 10, smallest
        for format_name, (_, path) in smallest.items():
            shutil.copy(path, cls.path(format_name + ".brtex"))
            if os.path.exists(path[:-6] + ".brplt"):
                shutil.copy(path[:-6] + ".brplt", cls.path(format_name + ".brplt"))
        shutil.rmtree(tree)
        for name in ("sample.brtex", "sign.brtex", "sign.brplt"):
            shutil.copy(os.path.join(SOURCES, "examples", name), cls.dir)
        cls.textures = sorted(cls.path(name) for name in os.listdir(cls.dir) if name.endswith(".brtex"))
        sample, rng = read(cls.path("sample.brtex")), random.Random(7)
        made = {"empty": b"", "cut": sample[:20], "nowidth": sample[:28] + bytes(2) + sample[30:], "png": b"\x89PNG\r\n\x1a\n" + bytes(64), "short": sample[:-100], "half": sample[:-32768],
                "random": b"TEX0" + bytes(rng.randrange(256) for _ in range(300))}
        made.update(("field%d" % at, sample[:at] + b"\xff\xff\xff\xf0" + sample[at + 4:]) for at in range(4, 64, 4))
        os.mkdir(cls.path("damaged"))
        cls.damaged = sorted(cls.path("damaged", name + ".brtex") for name in made)
        for name, data in made.items():
            write(cls.path("damaged", name + ".brtex"), data)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    @classmethod
    def path(cls, *names):
        return os.path.join(cls.dir, *names)


class Gnome(Desktop):
    THUMBNAILER = os.path.join(BUILD, "desktop", "kestrune-thumbnailer")

    def test_file_type(self):
        shutil.copy(self.path("sample.brtex"), self.path("SHOUT.BrTeX"))
        shutil.copy(self.path("sample.brtex"), self.path("nameless"))
        for name in ("sample.brtex", "SHOUT.BrTeX", "nameless"):
            info = Gio.File.new_for_path(self.path(name)).query_info("standard::content-type", 0, None)
            mime = subprocess.run(["xdg-mime", "query", "filetype", self.path(name)], capture_output=True, text=True)
            self.assertEqual((info.get_content_type(), mime.stdout.strip()), ("image/x-brtex",) * 2, name)

    def load(self, path, piece):
        loader = GdkPixbuf.PixbufLoader.new_with_type("brtex")
        data = read(path)
        try:
            for start in range(0, len(data), piece):
                loader.write(data[start:start + piece])
            loader.close()
            self.assertEqual(loader.get_format().get_name(), "brtex")
            return pixels(loader.get_pixbuf())
        except GLib.Error as error:
            self.assertTrue(error.message)
            return None

    def test_every_format_whole_in_pieces_and_damaged(self):
        for path in self.textures + self.damaged:
            want = library_pixels(path, with_palette=False)
            if path in self.textures:
                pixbuf = GdkPixbuf.Pixbuf.new_from_file(path)
                grey = os.path.exists(path[:-6] + ".brplt") or None
                self.assertEqual((pixels(pixbuf), pixbuf.get_option("kestrune::indexes-as-grey")),
                                 (want, grey and "true"), path)
            self.assertEqual([self.load(path, piece) for piece in (1000, 1 << 30)], [want, want], path)
        self.assertEqual(GdkPixbuf.Pixbuf.get_file_info(self.path("sign.brtex"))[1:], (64, 32))

    def thumbnail(self, size, path, program=None):
        out = tempfile.mktemp(suffix=".png", dir=self.dir)
        subprocess.run([program or self.THUMBNAILER, "-s", str(size), path, out], check=True, env=None if program else OWN)
        return GdkPixbuf.Pixbuf.new_from_file(out)

    def test_thumbnails(self):
        # Smaller than the size asked, as it is; larger, no larger than it
        # on the longer side. An indexed texture takes the palette beside
        # it, or shows grey where it has none.
        os.makedirs(self.path("alone"), exist_ok=True)
        shutil.copy(self.path("sign.brtex"), self.path("alone"))
        for size, path, want_size, want in [
                (4096, self.path("sign.brtex"), (64, 32), library_pixels(self.path("sign.brtex"))),
                (128, self.path("alone", "sign.brtex"), (64, 32), library_pixels(self.path("sign.brtex"), False)),
                (48, self.path("sign.brtex"), (48, 24), None), (16, self.path("RGB565.brtex"), (16, 16), None)]:
            thumbnail = self.thumbnail(size, path)
            self.assertEqual((thumbnail.get_width(), thumbnail.get_height()), want_size, path)
            self.assertTrue(want is None or pixels(thumbnail) == want, path)
        thumbnail = self.thumbnail(64, self.path("sample.brtex"), "gdk-pixbuf-thumbnailer")
        self.assertEqual((thumbnail.get_width(), thumbnail.get_height()), (64, 64))

    def test_thumbnails_average(self):
        # Black and white texels in a checkerboard average to grey, where
        # every other texel taken would be all black or all white; a clear
        # texel's colour counts for nothing.
        board = bytes(v for y in range(128) for x in range(128)
                      for v in ((255,) * 4 if (x + y) % 2 else (0, 0, 0, 255) if x < 64 else (255, 0, 0, 0)))
        write(self.path("board.brtex"), kestrune.encode(read(self.path("sample.brtex")), board, 128, 128))
        thumbnail = pixels(self.thumbnail(32, self.path("board.brtex")))
        for x, y, want in [(0, 0, (128, 128, 128, 255)), (15, 31, (128, 128, 128, 255)), (16, 0, (255, 255, 255, 128)),
                           (31, 20, (255, 255, 255, 128))]:
            self.assertEqual([abs(v - w) <= 1 for v, w in zip(thumbnail[(y * 32 + x) * 4:][:4], want)], [True] * 4)

    def test_thumbnailer_refuses(self):
        os.mkfifo(self.path("fifo.brtex"))  # never waited on for a writer, as a texture or as a palette
        os.makedirs(self.path("piped"))
        shutil.copy(self.path("CI8.brtex"), self.path("piped"))
        os.mkfifo(self.path("piped", "CI8.brplt"))
        for arguments, status, message in [
                (["-s", "0", "a", "b"], 2, "usage"), (["-s", "12x", "a", "b"], 2, "usage"), (["-s", "64", "a"], 2, "usage"),
                (["-s", "4097", "a", "b"], 2, "usage"), (["-t", "64", "a", "b"], 2, "usage"),
                (["-s", "64", self.path("missing.brtex"), "x.png"], 1, "missing.brtex"),
                (["-s", "64", self.path("damaged", "png.brtex"), "x.png"], 1, "not a BRTEX"),
                (["-s", "64", self.path("damaged", "nowidth.brtex"), "x.png"], 1, "has no pixels (0x128)"),
                (["-s", "64", self.path("fifo.brtex"), "x.png"], 1, "not a file that can be read"),
                (["-s", "64", self.path("piped", "CI8.brtex"), "x.png"], 1, "CI8.brplt is not a file that can be read"),
                (["-s", "64", self.path("sample.brtex"), self.path("no", "x.png")], 1, "cannot write")]:
            run = subprocess.run([self.THUMBNAILER] + arguments, capture_output=True, text=True, env=OWN, timeout=60)
            self.assertEqual(run.returncode, status, arguments)
            self.assertIn(message, run.stderr)


class Qt(Desktop):
    def read(self, path, data=None):
        run = subprocess.run([os.path.join(BUILD, "qt_read"), path], input=data, capture_output=True, env=OWN)
        head, _, body = run.stdout.partition(b"\n")
        return head.decode().split(), (body if run.returncode == 0 else None)

    def test_every_format_from_files_and_memory_and_damaged(self):
        for path in self.textures:
            facts = kestrune.facts(read(path))
            size = "%dx%d" % (facts.width, facts.height)
            self.assertEqual(self.read(path), (["brtex", size, size, "1"], library_pixels(path)), path)
            self.assertEqual(self.read("-", read(path)), (["brtex", size, size, "1"], library_pixels(path, False)), path)
        for path in self.damaged:
            self.assertEqual(self.read(path)[1], library_pixels(path, False), path)
        # A PNG under a texture's name is left to Qt's own reader.
        Image.new("RGBA", (3, 2), (1, 2, 3, 4)).save(self.path("photo.brtex"), "PNG")
        self.assertEqual(self.read(self.path("photo.brtex")), (["png", "3x2", "3x2", "0"], bytes((3, 2, 1, 4)) * 6))


class Gimp(Desktop):
    # The name as typed differs from the file's: the plug-in opens the file.
    EXPORT = ('(let* ((image (car (gimp-file-load RUN-NONINTERACTIVE "{0}" "typed")))) (file-png-save2 RUN-NONINTERACTIVE '
              'image (car (gimp-image-get-active-layer image)) "{0}.png" "{0}.png" 0 9 0 0 0 0 0 0 1))')

    def test_loads_every_format_and_names_a_missing_palette(self):
        home = self.path("gimp")
        shutil.copytree(os.path.join(BUILD, "desktop", "gimp", "plug-ins"), os.path.join(home, "plug-ins"))
        # Ours and the two the batch needs: GIMP then queries three plug-ins, not a hundred.
        system = subprocess.run(["pkg-config", "--variable=gimplibdir", "gimp-2.0"], capture_output=True, text=True,
                                check=True).stdout.strip() + "/plug-ins/"
        write(os.path.join(home, "gimprc"), ('(plug-in-path "%s/plug-ins:%sscript-fu:%sfile-png")\n' % (home, system, system)).encode())
        os.makedirs(self.path("alone"), exist_ok=True)
        shutil.copy(self.path("CI4.brtex"), self.path("alone", "Wood.BRTEX"))
        for name in (".brtex", "woodland"):
            shutil.copy(self.path("CI4.brtex"), self.path("alone", name))
        shutil.copy(self.path("sample.brtex"), self.path("nameless"))
        # Each call starts a plug-in: a few formats here, as every format is held to the library in the other hosts.
        textures = [self.path(name + ".brtex") for name in ("sample", "sign", "CI4", "CMPR", "IA4")]
        batch = [self.EXPORT.format(path) for path in textures + [self.path("nameless")] +
                 [self.path("alone", name) for name in ("Wood.BRTEX", ".brtex", "woodland")]]
        run = subprocess.run(["gimp-console-2.10", "-i", "-d", "-f"] + [a for b in batch for a in ("-b", b)] +
                             ["-b", "(gimp-quit 0)"], env=dict(OWN, GIMP2_DIRECTORY=home), capture_output=True, text=True)
        for name, palette in [("Wood.BRTEX", "Wood.brplt"), (".brtex", ".brplt"), ("woodland", "woodland.brplt")]:
            self.assertIn("/alone/%s is indexed (CI4) and needs its palette, %s, beside it" % (name, palette), run.stderr)
        self.assertFalse(os.path.exists(self.path("alone", "Wood.BRTEX.png")))
        for path, want in [(p, p) for p in textures] + [(self.path("nameless"), self.path("sample.brtex"))]:
            with Image.open(path + ".png") as png:
                self.assertEqual((png.mode, png.tobytes()), ("RGBA", library_pixels(want)), path)


del Desktop

if __name__ == "__main__":
    unittest.main()
