#!/bin/sh
# Regenerates every rendered picture in resources/ from its SVG source.
# Needs these Debian packages: librsvg2-bin (rsvg-convert), imagemagick (convert),
# fonts-dejavu-core (DejaVu Sans Bold for the "Kestrun" and "Vorna" words).
# Output is deterministic: same sources + same tools give byte-identical files.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

jpeg() { # svg  output.jpg
    rsvg-convert -b white "$1" -o "$tmp/page.png"
    convert "$tmp/page.png" -strip -sampling-factor 4:4:4 -quality 90 "$2"
}
png() { # svg  size  output.png
    rsvg-convert -w "$2" -h "$2" "$1" -o "$3"
}

jpeg banner.svg banner.jpg          # 725 x 287
jpeg logo.svg   logo.jpg            # 163 x 51

# Application icon: small sizes have hand-fitted sources, larger ones scale kestrun.svg.
for n in 16 24 32; do png icons/kestrun-$n.svg $n icons/kestrun-$n.png; done
for n in 48 64 128 256; do png icons/kestrun.svg $n icons/kestrun-$n.png; done

# "9-pin test" button icon.
for n in 16 25 32; do png icons/nine-pin-$n.svg $n icons/nine-pin-$n.png; done
png icons/nine-pin.svg 48 icons/nine-pin-48.png
