"""The Python package and its Pillow plugin, held against the tool's own
PNGs of the same textures: painted ones in five formats, and the samples."""
import os
import shutil
import subprocess
import tempfile
import unittest

from PIL import Image

import kestrune

BUILD = os.environ["KESTRUNE_BUILD"]  # the build folder, with the tool and the painter
SOURCES = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class PythonPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        subprocess.run([os.path.join(BUILD, "make_painted"), "set", cls.dir, "64"], check=True)
        for name in ("sample.brtex", "sign.brtex", "sign.brplt"):
            shutil.copy(os.path.join(SOURCES, "examples", name), cls.dir)
        cls.textures = sorted(n for n in os.listdir(cls.dir) if n.endswith(".brtex"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def tools_pixels(self, texture, palette=None):
        subprocess.run([os.path.join(BUILD, "kestrune"), "--png", texture] + ([palette] if palette else []), cwd=self.dir,
                       check=True, stdout=subprocess.DEVNULL)
        with Image.open(self.path(texture[:-6] + ".png")) as png:
            return png.convert("RGBA").tobytes()

    def test_each_texture_opens_with_the_tools_pixels(self):
        for name in self.textures:
            with self.subTest(name):
                palette = name[:-6] + ".brplt" if os.path.exists(self.path(name[:-6] + ".brplt")) else None
                want = self.tools_pixels(name, palette)
                with Image.open(self.path(name)) as image:
                    self.assertEqual((image.format, image.mode, image.tobytes()), ("BRTEX", "RGBA", want))
                decoded = kestrune.decode(self.read(name), self.read(palette) if palette else None)
                self.assertEqual((decoded.width * decoded.height * 4, decoded.rgba), (len(want), want))
                # Its own pixels encoded back into it give back its bytes.
                self.assertEqual(kestrune.encode(self.read(name), decoded.rgba, decoded.width, decoded.height,
                                                 self.read(palette) if palette else None), self.read(name))

    def test_palettes(self):
        shutil.copy(self.path("sign.brtex"), self.path("lonely.brtex"))
        with self.assertRaises(kestrune.KestruneError) as raised:
            Image.open(self.path("lonely.brtex"))
        self.assertIn("lonely.brplt", str(raised.exception))
        shutil.copy(self.path("sign.brplt"), self.path("lonely.BrPlT"))
        with Image.open(self.path("lonely.brtex")) as image:
            self.assertEqual(image.tobytes(), self.tools_pixels("sign.brtex", "sign.brplt"))
        named = kestrune.open(self.path("sample.brtex")), kestrune.open(self.path("sign.brtex"), self.path("64_flat_CI8.brplt"))
        self.assertEqual([image.tobytes() for image in named],
                         [self.tools_pixels("sample.brtex"), self.tools_pixels("sign.brtex", "64_flat_CI8.brplt")])

    def test_failures_and_facts(self):
        for texture, palette, cause in [(b"no texture", None, "not a BRTEX"), (self.read("sign.brtex"), None, "palette"),
                                        (self.read("sign.brtex"), b"junk", "not a BRPLT")]:
            with self.assertRaises(kestrune.KestruneError) as raised:
                kestrune.decode(texture, palette)
            self.assertIn(cause, str(raised.exception))
        self.assertEqual(kestrune.facts(self.read("64_noise_CMPR.brtex")[:-10]), kestrune.Facts(64, 64, 14, "CMPR", False, 10))
        with self.assertRaises(kestrune.KestruneError) as raised:
            kestrune.encode(self.read("sample.brtex"), bytes(4 * 64 * 32), 64, 32)
        self.assertIn("64x32", str(raised.exception))
        self.assertEqual(kestrune.library_version(), os.environ["KESTRUNE_VERSION"])


if __name__ == "__main__":
    unittest.main()
