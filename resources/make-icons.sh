#!/bin/sh
# Redraws the program's 32 x 32 and 16 x 16 icons, 16 colours each, pixel by
# pixel with ImageMagick. kestrin-drawer.svg is the same drawing, scalable.
set -eu
cd "$(dirname "$0")"
convert -size 32x32 xc:none \
    -fill '#808080' -stroke black -draw 'rectangle 2,12 29,28' \
    -fill '#C0C0C0' -draw 'rectangle 4,15 27,25' \
    -fill black -stroke none -draw 'rectangle 12,19 19,21' \
    -fill '#008000' -stroke black -draw 'rectangle 6,4 25,10' \
    -fill '#FFFF00' -stroke none -draw 'rectangle 13,6 18,8' \
    -colors 16 -define png:exclude-chunk=date,time,tIME PNG8:icons/kestrin-drawer-32.png
convert -size 16x16 xc:none \
    -fill '#808080' -stroke black -draw 'rectangle 1,6 14,14' \
    -fill '#C0C0C0' -stroke none -draw 'rectangle 3,8 12,12' \
    -fill black -draw 'rectangle 6,10 9,10' \
    -fill '#008000' -stroke black -draw 'rectangle 3,1 12,4' \
    -colors 16 -define png:exclude-chunk=date,time,tIME PNG8:icons/kestrin-drawer-16.png

# The Windows program's icon: both images in one file, 16 colours each.
convert icons/kestrin-drawer-32.png icons/kestrin-drawer-16.png -type Palette -colors 16 \
    icons/kestrin-drawer.ico
# The About window's emblem for the Windows program, drawn at its natural
# size (62.41 x 27.41 mm) at 96 dpi: 236 x 104 pixels, shown there one to
# one and stretched to the same size in millimetres at other resolutions.
# Needs rsvg-convert (librsvg2-bin); the result is committed.
rsvg-convert -d 96 -p 96 -b white usb-emblem.svg |
    convert - -alpha remove -alpha off -type TrueColor BMP3:usb-emblem.bmp
