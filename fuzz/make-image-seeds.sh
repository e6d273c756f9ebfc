#!/bin/sh
# Writes small seed images for the image reader fuzz targets into
# DIR/fuzz_faxtool_import{,_png,_tiff}, made by netpbm and libtiff's tools.
set -eu
dir=$1
pbm=$dir/fuzz_faxtool_import png=$dir/fuzz_faxtool_import_png tiff=$dir/fuzz_faxtool_import_tiff
mkdir -p "$pbm" "$png" "$tiff"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pbmtext -builtin fixed 'Fax 12' > "$work/t.pbm"
pnmcut -width 45 -height 9 "$work/t.pbm" > "$pbm/raw.pbm"
pnmtopnm -plain "$pbm/raw.pbm" > "$pbm/plain.pbm"
cat "$pbm/raw.pbm" "$pbm/plain.pbm" > "$pbm/two.pbm"
pnmtopng "$pbm/raw.pbm" > "$png/grey1.png"
pnmtopng -interlace "$pbm/raw.pbm" > "$png/interlaced.png"
pgmramp -lr 20 4 | pnmtopng > "$png/grey8.png"
ppmtoppm < "$pbm/raw.pbm" | pnmtopng -force > "$png/rgb.png"
pnmtotiff -g4 "$pbm/raw.pbm" > "$tiff/g4.tif"
pnmtotiff -g3 "$pbm/raw.pbm" > "$tiff/g3.tif"
pnmtotiff -minisblack -lzw "$pbm/raw.pbm" > "$tiff/lzw.tif"
pnmtotiff -packbits -rowsperstrip 2 "$pbm/raw.pbm" > "$tiff/packbits.tif"
pnmtotiff -none "$pbm/raw.pbm" > "$work/none.tif"
tiffcp -t -w 16 -l 16 -c g4 "$work/none.tif" "$tiff/tiled.tif"
tiffcp "$tiff/g4.tif" "$tiff/lzw.tif" "$tiff/two.tif"
