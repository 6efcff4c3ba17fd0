#!/usr/bin/env bash
# Renders the program's icon from its SVG into the PNG sizes that are installed beside it.
# The PNGs are kept in the tree, so building needs no SVG renderer; run this after changing
# the SVG (needs rsvg-convert, Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")/../data/icons"
for size in 48 64 128 256; do
    rsvg-convert -w "$size" -h "$size" org.tavrel.Tavrel.svg -o "org.tavrel.Tavrel-$size.png"
done
