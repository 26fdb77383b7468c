#!/usr/bin/env bash
# Regenerates resources/korva.ico (and docs/korva-icon.png) from
# resources/korva-mark.svg. The .ico is committed; the build never runs this.
#
# Six 32-bit images: 256, 128 and 64 stored as PNG (Windows Vista and later
# read PNG images of any size; as DIBs these two cost 83 KB of a 300 KB exe),
# 48, 32 and 16 as DIBs, the form every reader of small icons takes.
#   scripts/make-icon.sh        needs rsvg-convert (librsvg2-bin), icotool (icoutils)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
svg=$root/resources/korva-mark.svg
ico=$root/resources/korva.ico
png_sizes=(256 128 64)
dib_sizes=(48 32 16)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
render() { rsvg-convert --width "$1" --height "$1" --format png "$svg" -o "$tmp/$1.png"; }

args=()
for s in "${png_sizes[@]}"; do render "$s"; args+=("--raw=$tmp/$s.png"); done
for s in "${dib_sizes[@]}"; do render "$s"; args+=("$tmp/$s.png"); done
icotool --create --bit-depth=32 --output="$tmp/korva.ico" "${args[@]}"

# Check what Windows will see before replacing the committed file.
python3 - "$tmp/korva.ico" "${png_sizes[*]}" "${dib_sizes[*]}" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
png = [int(s) for s in sys.argv[2].split()]
dib = [int(s) for s in sys.argv[3].split()]
reserved, kind, count = struct.unpack_from("<HHH", data, 0)
assert (reserved, kind, count) == (0, 1, len(png) + len(dib)), (reserved, kind, count)
for i, size in enumerate(png + dib):
    w, h, colors, _, planes, bits, length, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
    assert (w or 256, h or 256, colors, planes, bits) == (size, size, 0, 1, 32), (size, w, h, colors, planes, bits)
    image = data[offset:offset + length]
    assert len(image) == length
    if size in png:
        assert image[:8] == b"\x89PNG\r\n\x1a\n", size
        assert struct.unpack(">IIBB", image[16:26]) == (size, size, 8, 6), size  # 8-bit RGBA
    else:
        header = struct.unpack_from("<IiiHHI", image, 0)
        assert header == (40, size, 2 * size, 1, 32, 0), (size, header)
print(f"korva.ico: {len(data)} bytes, {count} images")
PY
cp "$tmp/korva.ico" "$ico"
cp "$tmp/256.png" "$root/docs/korva-icon.png"
icotool --list "$ico"
