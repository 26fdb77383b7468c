#!/usr/bin/env python3
"""Reads the resources back from the built installer: the version block, the
application manifest and the icon group must be what Windows will see.

    check_resources.py KORVA-Installer.exe
"""
import os
import re
import struct
import sys
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from pe_image import Image, string_tables  # noqa: E402

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
US_ENGLISH = 0x0409
# The string table's languages (English first, the fallback): German,
# French, Spanish, Italian, Portuguese (Brazil), Polish, Russian, Turkish,
# Japanese, Chinese (Simplified), Korean, Arabic.
TABLE_LANGUAGES = [US_ENGLISH, 0x0407, 0x040C, 0x0C0A, 0x0410, 0x0416, 0x0415, 0x0419, 0x041F, 0x0411, 0x0804,
                   0x0412, 0x0401]
# A failure's text is 1000 + its kind (1 to 16); the window's own texts follow.
TEXT_IDS = list(range(1001, 1017)) + list(range(1024, 1033))
# Names that a translation keeps as they are, as often as the English text has them.
KEPT_NAMES = ["KORVA Setup", "KORVA", "SHA-256", "HTTPS", "URL", "Windows"]
EXE = sys.argv.pop(1) if len(sys.argv) > 1 else None
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def project_version():
    """The one place the version is written: project() in CMakeLists.txt."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"^project\(\S+ VERSION ([0-9]+)\.([0-9]+)\.([0-9]+)\.([0-9]+)\b", f.read(), re.M)
    return tuple(int(part) for part in match.groups())


def version_nodes(data, offset=0, end=None):
    """Walks a VS_VERSIONINFO tree: yields (key, value bytes, value type, children)."""
    end = len(data) if end is None else end
    while offset + 6 <= end:
        length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
        if length == 0:
            break
        key_end = offset + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if value_type == 1 else value_length
        value = data[value_start:value_start + value_bytes]
        children_start = (value_start + value_bytes + 3) & ~3
        yield key, value, value_type, (children_start, offset + length)
        offset = (offset + length + 3) & ~3


class Resources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.found = Image(EXE).resources()

    def resource(self, kind, res_id):
        matches = {k: v for k, v in self.found.items() if k[:2] == (kind, res_id)}
        self.assertEqual(list(matches), [(kind, res_id, US_ENGLISH)], "one US English resource")
        return next(iter(matches.values()))

    def test_version_block(self):
        data = self.resource(RT_VERSION, 1)
        (key, fixed, _, (start, end)), = version_nodes(data)
        self.assertEqual(key, "VS_VERSION_INFO")
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        self.assertEqual(signature, 0xFEEF04BD)
        version = project_version()
        text = ".".join(map(str, version))
        packed = ((version[0] << 16) | version[1], (version[2] << 16) | version[3])
        self.assertEqual((file_ms, file_ls), packed, "file version " + text)
        self.assertEqual((product_ms, product_ls), packed, "product version " + text)
        file_os, file_type = struct.unpack_from("<II", fixed, 32)
        self.assertEqual(file_os, 0x00040004, "VOS_NT_WINDOWS32")
        self.assertEqual(file_type, 1, "VFT_APP")

        children = {k: (v, t, span) for k, v, t, span in version_nodes(data, start, end)}
        self.assertEqual(sorted(children), ["StringFileInfo", "VarFileInfo"])
        (table, _, _, (s, e)), = version_nodes(data, *children["StringFileInfo"][2])
        self.assertEqual(table, "040904b0")
        strings = {k: v.decode("utf-16-le").rstrip("\0") for k, v, _, _ in version_nodes(data, s, e)}
        self.assertEqual(set(strings), {"CompanyName", "FileDescription", "OriginalFilename", "ProductName",
                                        "ProductVersion"})
        self.assertTrue(strings["CompanyName"])
        self.assertEqual(strings["FileDescription"], "KORVA Web Installer")
        self.assertEqual(strings["OriginalFilename"], "KORVA-Installer.exe")
        self.assertEqual(strings["ProductName"], "KORVA")
        self.assertEqual(strings["ProductVersion"], text)
        (translation, value, _, _), = version_nodes(data, *children["VarFileInfo"][2])
        self.assertEqual(translation, "Translation")
        self.assertEqual(struct.unpack("<HH", value), (0x0409, 1200))

    def test_manifest_asks_for_the_invokers_rights_themes_and_per_monitor_scale(self):
        root = ElementTree.fromstring(self.resource(RT_MANIFEST, 1))

        def only(name):
            found = [e for e in root.iter() if e.tag.split("}")[-1] == name]
            self.assertEqual(len(found), 1, name)
            return found[0]

        self.assertEqual(only("requestedExecutionLevel").attrib, {"level": "asInvoker", "uiAccess": "false"})
        controls = only("assemblyIdentity").attrib
        self.assertEqual((controls["name"], controls["version"], controls["publicKeyToken"], controls["type"]),
                         ("Microsoft.Windows.Common-Controls", "6.0.0.0", "6595b64144ccf1df", "win32"))
        self.assertEqual(only("dpiAwareness").text.strip(), "PerMonitorV2, PerMonitor")
        self.assertEqual(only("dpiAware").text.strip(), "true/pm")
        # Windows 10 and 11 share one id.
        self.assertEqual(only("supportedOS").attrib, {"Id": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})

    def test_icon_group_101_holds_six_32_bit_images(self):
        group = self.resource(RT_GROUP_ICON, 101)
        _, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual((kind, count), (1, 6))
        sizes = []
        for i in range(count):
            width, height, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            image = self.resource(RT_ICON, icon_id)
            self.assertEqual(len(image), size)
            self.assertEqual(bits, 32)
            sizes.append((width or 256, image.startswith(b"\x89PNG")))
        # The three large images are compressed, the small ones plain bitmaps.
        self.assertEqual(sizes, [(256, True), (128, True), (64, True), (48, False), (32, False), (16, False)])

    def test_every_language_has_every_text_with_the_names_kept(self):
        tables = string_tables(self.found)
        self.assertEqual(sorted(tables), sorted(TABLE_LANGUAGES))
        english = tables[US_ENGLISH]
        self.assertEqual(sorted(english), TEXT_IDS)
        for language in TABLE_LANGUAGES:
            table = tables[language]
            with self.subTest(language=hex(language)):
                self.assertEqual(sorted(table), TEXT_IDS)
                for text_id, text in english.items():
                    translated = table[text_id]
                    self.assertEqual(translated, translated.strip(), text_id)
                    self.assertEqual([translated.count(n) for n in KEPT_NAMES], [text.count(n) for n in KEPT_NAMES],
                                     (text_id, translated))
                    # A state still in progress says so in every language.
                    self.assertEqual(translated.endswith("..."), text.endswith("..."), (text_id, translated))


if __name__ == "__main__":
    unittest.main(verbosity=2)
