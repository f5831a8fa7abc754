#!/bin/sh
# Regenerates every rendered picture in resources/ from its SVG source.
# Needs these Debian packages: librsvg2-bin (rsvg-convert), imagemagick (convert),
# fonts-dejavu-core (DejaVu Sans Bold for the "Kestrun" and "Vorna" words).
# Output is deterministic: same sources + same tools give byte-identical files.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

jpeg() { # svg  zoom  output.jpg
    rsvg-convert -b white -z "$2" "$1" -o "$tmp/page.png"
    convert "$tmp/page.png" -strip -sampling-factor 4:4:4 -quality 90 "$3"
}
png() { # svg  size  output.png
    rsvg-convert -w "$2" -h "$2" "$1" -o "$3"
}

# Qt loads the @2x files on screens with twice the pixels; they draw at the same size.
jpeg banner.svg 1 banner.jpg        # 725 x 287
jpeg banner.svg 2 banner@2x.jpg
jpeg logo.svg   1 logo.jpg          # 163 x 51
jpeg logo.svg   2 logo@2x.jpg

# Application icon: small sizes have hand-fitted sources, larger ones scale kestrun.svg.
for n in 16 24 32; do png icons/kestrun-$n.svg $n icons/kestrun-$n.png; done
for n in 48 64 128 256; do png icons/kestrun.svg $n icons/kestrun-$n.png; done

# "9-pin test" button icon.
for n in 16 25 32; do png icons/nine-pin-$n.svg $n icons/nine-pin-$n.png; done
png icons/nine-pin.svg 48 icons/nine-pin-48.png
png icons/nine-pin.svg 50 icons/nine-pin-50.png   # the 25 px picture on a 2x screen
