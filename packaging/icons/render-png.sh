#!/bin/sh
# Renders the PNG sizes of the hicolor theme from the scalable icon (needs rsvg-convert from
# librsvg2-bin). Run after changing the SVG and commit the results.
set -eu
cd "$(dirname "$0")"
for size in 16 22 24 32 48 64 128 256 512; do
    mkdir -p "hicolor/${size}x${size}"
    rsvg-convert -w "$size" -h "$size" org.tessaly.Tessaly.svg -o "hicolor/${size}x${size}/org.tessaly.Tessaly.png"
done
