#!/usr/bin/env bash
# Draws the confirmation tip picture MVChangepinSure1.gif (384 x 261, one frame, GIF89a):
# two lines of text asking the user to press OK on the token or C to cancel, above a token
# with a small screen and key pad whose OK key a finger presses.
# Needs ImageMagick 6 and the WenQuanYi Micro Hei font (Debian: imagemagick,
# fonts-wqy-microhei). The output depends only on those, so running it again gives the same file.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="${1:-$here/MVChangepinSure1.gif}"
convert=/usr/bin/convert
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc

line1='请按下 UKEY 上的“OK”键确认本次操作'
line2='如需取消，请按“C”键'

"$convert" -size 384x261 xc:white \
  -font "$font" -fill '#1f2d3d' -pointsize 17 \
  -gravity north -annotate +0+10 "$line1" \
  -annotate +0+36 "$line2" \
  -gravity northwest \
  `# token body with a key ring hole and a shadow` \
  -fill '#c9ced6' -stroke none -draw 'roundrectangle 104,72 264,262 24,24' \
  -fill '#3c4a5c' -stroke '#22303f' -strokewidth 2 -draw 'roundrectangle 100,68 260,262 24,24' \
  -fill white -stroke '#22303f' -draw 'circle 180,82 180,76' \
  `# screen` \
  -fill '#9fd3a6' -stroke '#1b2a1d' -strokewidth 2 -draw 'roundrectangle 120,94 240,138 6,6' \
  -stroke none -fill '#1b2a1d' -pointsize 16 -annotate +150+104 '确认？' \
  `# key pad: up, OK, C, down` \
  -fill '#e8ebef' -stroke '#1b2430' -strokewidth 2 \
  -draw 'circle 180,158 180,171' \
  -draw 'circle 180,236 180,249' \
  -draw 'circle 226,197 226,210' \
  -fill '#f5f7fa' -draw 'circle 180,197 180,215' \
  -stroke none -fill '#1b2430' \
  -draw 'polygon 173,162 187,162 180,152' \
  -draw 'polygon 173,232 187,232 180,242' \
  -pointsize 15 -annotate +221+187 'C' \
  -pointsize 14 -annotate +169+188 'OK' \
  `# the hand: palm from the lower right, index finger down onto OK` \
  -fill '#f2c7a0' -stroke '#8a5a3c' -strokewidth 2 \
  -draw 'ellipse 318,236 52,40 0,360' \
  -draw 'roundrectangle 292,232 372,261 14,14' \
  -stroke '#8a5a3c' -strokewidth 26 -draw 'stroke-linecap round line 187,204 300,236' \
  -stroke '#f2c7a0' -strokewidth 22 -draw 'stroke-linecap round line 187,204 300,236' \
  -stroke none -fill '#f2c7a0' -draw 'ellipse 318,236 50,38 0,360' \
  -fill '#fbe3d3' -stroke '#b08068' -strokewidth 1 -draw 'ellipse 186,204 6,7 0,360' \
  `# press marks around the fingertip` \
  -fill none -stroke '#d9363e' -strokewidth 2 \
  -draw 'arc 150,167 210,227 190,250' \
  -draw 'arc 144,161 216,233 195,245' \
  +dither -colors 64 +repage -strip "GIF:$out"
