#!/bin/sh
# Makes a two-page sample fax file with independent tools: netpbm draws the
# pages (a typed letter and a drawing, 1728 pixels wide, normal resolution),
# libtiff codes them, and the raw strip of each page is wrapped in the fax
# container (magic BA DB AD 16, header length, header text + 0x1D, then each
# page as a 4-byte big-endian length and its data). A TIFF strip carries no
# return to control, so a G3 page gets the six EOLs (T.4 4.1.4; with tag
# bit 1 for MR) that a fax machine sends after the last line; every page is
# padded to whole 16-bit words.
#
#   make_sample.sh [mh|mr|mmr] [output]
#
# mh (default) writes sample.fax, mr sample_mr.fax, mmr sample_mmr.fax beside
# this script. Needs netpbm (pbmtext, ppmmake, ppmdraw, pamcomp ...),
# pamtotiff, libtiff's tiffcp and python3.
set -eu

coding=${1:-mh}
here=$(cd "$(dirname "$0")" && pwd)
case $coding in
    mh)  tiff_coding=g3;    compression=0; name=sample.fax ;;
    mr)  tiff_coding=g3:2d; compression=1; name=sample_mr.fax ;;
    mmr) tiff_coding=g4;    compression=3; name=sample_mmr.fax ;;
    *)   echo "usage: $0 [mh|mr|mmr] [output]" >&2; exit 2 ;;
esac
output=${2:-$here/$name}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

width=1728
height=1100   # about an A4 page at 98 lines per inch

to_pbm() { ppmtopgm | pgmtopbm -threshold; }

# Page 1: a typed letter. Normal resolution lines are twice as tall as
# pixels are wide, so the type is only widened.
cat > letter.txt <<'EOF'
TAVRIN TRADING COMPANY                     FAX MESSAGE

To:      Accounts Department, Northfield Supplies
From:    M. Okafor, Purchasing
Date:    26 July 1999
Pages:   2 (including this one)

Re: Order 4471-B, replacement bearings

Thank you for your quotation of 19 July. We would like to
confirm the order for 240 units of part SB-2205, delivered
to our warehouse at Dock 3 no later than 16 August.

Please note the revised drawing on the next page: the
mounting flange is now 42 mm, and the bolt circle has
moved to 120 mm. All other dimensions are unchanged.

Invoices should quote the order number above.

Regards,

M. Okafor
EOF
pbmtext -builtin fixed < letter.txt | pamenlarge -xscale=2 -yscale=1 > text.pbm
ppmmake white $width $height > page1.ppm
ppmdraw -script='setcolor black;
    filledrectangle 100 60 1528 6;
    filledrectangle 100 1030 1528 3;' page1.ppm > frame.ppm
pamcomp -xoff=120 -yoff=90 text.pbm frame.ppm | to_pbm > page1.pbm

# Page 2: a part drawing with a title block.
ppmmake white $width $height > canvas.ppm
ppmdraw -script='setcolor black;
    line 150 100 1580 100; line 1580 100 1580 1000;
    line 1580 1000 150 1000; line 150 1000 150 100;
    circle 700 500 300; circle 700 500 299; circle 700 500 120;
    circle 700 220 30; circle 980 500 30; circle 700 780 30; circle 420 500 30;
    line 300 500 1100 500; line 700 150 700 850;
    line 1150 200 1150 800; line 1140 200 1160 200; line 1140 800 1160 800;
    spline3 1200 300 1350 150 1500 300;
    filledrectangle 1100 880 480 120;
    text 170 960 28 0 "FLANGE SB-2205 REV C";' canvas.ppm > drawing.ppm
printf 'SCALE 1:2\nBOLT CIRCLE 120\nFLANGE 42\n' | pbmtext -builtin fixed | pnminvert > label.pbm
pamcomp -xoff=1130 -yoff=890 label.pbm drawing.ppm | to_pbm > page2.pbm

for page in 1 2; do
    # libtiff codes the page: one strip, bit 0 of each byte first, so the
    # strip is the coded stream. (pamtotiff's own -lsb2msb reorders the
    # pixels rather than the code bits, hence tiffcp.)
    pamtotiff -none -miniswhite page$page.pbm > plain$page.tif
    tiffcp -f lsb2msb -c $tiff_coding -r $height plain$page.tif page$page.tif
done

python3 - "$compression" "$output" page1.tif page2.tif <<'EOF'
import struct, sys

def strip_of(path):
    data = open(path, 'rb').read()
    order = {b'II': '<', b'MM': '>'}[data[:2]]
    (ifd,) = struct.unpack(order + 'I', data[4:8])
    (count,) = struct.unpack(order + 'H', data[ifd:ifd + 2])
    tags = {}
    for i in range(count):
        tag, kind, n, value = struct.unpack(order + 'HHI4s', data[ifd + 2 + 12 * i:ifd + 14 + 12 * i])
        size = {3: 2, 4: 4}[kind] if kind in (3, 4) else None
        if size is None:
            continue
        fmt = order + ('H' if size == 2 else 'I') * n
        raw = value if size * n <= 4 else data[struct.unpack(order + 'I', value)[0]:][:size * n]
        tags[tag] = struct.unpack(fmt, raw[:size * n])
    assert tags[262] == (0,), 'white must be 0 (min-is-white)'
    assert tags[266] == (2,), 'fill order must be LSB to MSB'
    assert tags[256] == (1728,), 'pages must be 1728 pixels wide'
    offsets, counts = tags[273], tags[279]
    assert len(offsets) == 1, 'one strip per page'
    return data[offsets[0]:offsets[0] + counts[0]]

def lsb_first(bits):
    out = bytearray((len(bits) + 7) // 8)
    for i, bit in enumerate(bits):
        if bit == '1':
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)

compression, output, pages = sys.argv[1], sys.argv[2], sys.argv[3:]
eol = '000000000001' + ('1' if compression == '1' else '')
rtc = lsb_first(eol * 6) if compression in ('0', '1') else b''
header = ('RESOLUTION:0\nCOMPRESSION:%s\n#PAGES:%d\n' % (compression, len(pages))).encode() + b'\x1d'
out = bytearray(b'\xba\xdb\xad\x16') + struct.pack('>I', len(header)) + header
for page in pages:
    strip = strip_of(page) + rtc
    strip += b'\0' * (len(strip) % 2)
    out += struct.pack('>I', len(strip)) + strip
open(output, 'wb').write(out)
EOF
echo "wrote $output"
