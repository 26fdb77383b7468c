"""A read-only view of a PE32+ image (headers, data directories, sections)
for tests that check what the built exe really carries."""
import struct

RESOURCE_DIRECTORY = 2
RT_STRING = 6


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError(f"{path}: not an MZ image")
        pe = self.u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        section_count, optional_size = struct.unpack_from("<H12xH", self.data, pe + 6)
        optional = pe + 24
        if self.u16(optional) != 0x20B:
            raise ValueError(f"{path}: not PE32+")
        self.checksum_offset = optional + 64
        self.size_of_image = self.u32(optional + 56)
        count = self.u32(optional + 108)
        self.directories = [struct.unpack_from("<II", self.data, optional + 112 + 8 * i) for i in range(count)]
        self.sections = []
        for i in range(section_count):
            header = optional + optional_size + 40 * i
            virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<IIII", self.data, header + 8)
            self.sections.append((rva, virtual_size, raw_offset, raw_size))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva, length=1):
        """File offset of an RVA range that the file really holds, or None."""
        for start, virtual_size, raw_offset, raw_size in self.sections:
            if start <= rva and rva + length <= start + min(virtual_size, raw_size):
                return raw_offset + rva - start
        return None

    def c_string(self, rva):
        offset = self.offset(rva)
        if offset is None:
            return None
        end = self.data.find(b"\0", offset, offset + 260)
        return self.data[offset:end].decode("latin-1") if end >= 0 else None

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def resources(self):
        """{(type, id, language): bytes} for every resource with numeric ids."""
        base_rva, _ = self.directory(RESOURCE_DIRECTORY)
        base = self.offset(base_rva)
        found = {}

        def entries(offset):
            named, numbered = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)

        for type_id, type_target in entries(0):
            for res_id, id_target in entries(type_target & 0x7FFFFFFF):
                for language, leaf in entries(id_target & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    offset = self.offset(data_rva, size)
                    found[(type_id, res_id, language)] = self.data[offset:offset + size]
        return found


def string_tables(resources):
    """{language: {id: text}} of an image's string table: each block holds 16
    counted UTF-16 strings, an empty one meaning none."""
    tables = {}
    for (kind, block, language), data in resources.items():
        if kind != RT_STRING:
            continue
        at = 0
        for index in range(16):
            (length,) = struct.unpack_from("<H", data, at)
            text = data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            if len(text) != length:
                raise ValueError("string %d of block %d (language %#x) runs past its block" % (index, block, language))
            at += 2 + 2 * length
            if length:
                tables.setdefault(language, {})[(block - 1) * 16 + index] = text
    return tables
