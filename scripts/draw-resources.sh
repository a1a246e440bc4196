#!/usr/bin/env bash
# Draws every picture of MirvaleClient's resource collection (tool/Resources) with
# ImageMagick. The output is byte-for-byte the same on every run on a machine with the
# same ImageMagick and fonts: no time stamps or other varying chunks are written.
#   bash scripts/draw-resources.sh [output-dir]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="${1:-$here/tool/Resources}"
mkdir -p "$out"

IM=/usr/bin/convert
FONT_CJK=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
FONT_LATIN_BOLD=DejaVu-Sans-Bold
if ! "$IM" -list font | grep -q "Font: $FONT_LATIN_BOLD\$"; then FONT_LATIN_BOLD="$FONT_CJK"; fi

# Colours of the product.
BLUE_DARK='#0e3a7c'
BLUE='#1f5fbf'
BLUE_LIGHT='#3b80e5'
GREY='#6b6b6b'
GREY_LIGHT='#898f96'

PNG_PLAIN=(-strip -define png:exclude-chunks=date,time,tIME,zTXt,tEXt,iTXt)

# save IMAGE-OPS... FILE: writes an RGBA PNG without time stamps or comments.
save() {
  local file="${!#}"
  "$IM" "${@:1:$#-1}" "${PNG_PLAIN[@]}" "PNG32:$out/$file"
}

# save_grey IMAGE-OPS... FILE: the same as an 8-bit grey PNG with alpha.
save_grey() {
  local file="${!#}"
  "$IM" "${@:1:$#-1}" "${PNG_PLAIN[@]}" -define png:color-type=4 -define png:bit-depth=8 \
    "PNG:$out/$file"
}

# --- window and tray icon: a shield with a key hole on a blue rounded square ---
draw_app_icon() {
  save -size 48x48 -define gradient:direction=south "gradient:$BLUE_LIGHT-$BLUE_DARK" \
    \( -size 48x48 xc:none -fill white -draw "roundrectangle 1,1 46,46 9,9" \) \
    -compose CopyOpacity -composite -compose Over \
    -fill white -stroke none \
    -draw "path 'M 24,8 L 37,12.5 L 37,23 C 37,31.5 31.5,37 24,41 C 16.5,37 11,31.5 11,23 L 11,12.5 Z'" \
    -fill "$BLUE" -draw "circle 24,21 24,25.2" \
    -draw "polygon 22,23 26,23 27.2,32 20.8,32" \
    -fill 'rgba(255,255,255,0.35)' -draw "path 'M 24,8 L 37,12.5 L 37,23 C 37,31.5 31.5,37 24,41 Z'" \
    -fill "$BLUE" -draw "circle 24,21 24,25.2" -draw "polygon 22,23 26,23 27.2,32 20.8,32" \
    "$1"
}

# --- title picture: deep blue band with rings, a network of lines and the product line ---
draw_title() {
  local rings=()
  local r
  for r in 40 62 84 106 128 150; do
    rings+=(-draw "circle 770,64 $((770 + r)),64")
  done
  save -size 832x127 -define gradient:direction=east "gradient:$BLUE_DARK-#2a78d8" \
    \( -size 832x127 -define gradient:direction=south 'gradient:rgba(255,255,255,0.10)-rgba(255,255,255,0)' \) \
    -composite \
    -fill none -stroke 'rgba(255,255,255,0.10)' -strokewidth 1.5 "${rings[@]}" \
    -stroke 'rgba(255,255,255,0.16)' -strokewidth 1 \
    -draw "polyline 330,127 380,84 470,84 510,44 600,44" \
    -draw "polyline 400,127 430,100 540,100 575,66 660,66" \
    -draw "polyline 300,0 340,30 440,30 470,12 560,12" \
    -fill 'rgba(255,255,255,0.30)' -stroke none \
    -draw "circle 600,44 603,44" -draw "circle 660,66 663,66" -draw "circle 560,12 563,12" \
    -draw "circle 380,84 382.5,84" -draw "circle 540,100 542.5,100" -draw "circle 440,30 442.5,30" \
    -font "$FONT_CJK" -fill white -pointsize 30 -annotate +36+78 '智能密码钥匙管理' \
    -fill 'rgba(255,255,255,0.72)' -pointsize 13 -annotate +38+104 'USB KEY 设备 · 证书 · PIN 码一站式管理' \
    "$1"
}

# --- logo: white shield mark and the maker's name, for the blue title band ---
draw_logo() {
  save -size 95x47 xc:none -fill white -stroke none \
    -draw "path 'M 14,6 L 25,10 L 25,20 C 25,28 20,33 14,37 C 8,33 3,28 3,20 L 3,10 Z'" \
    -fill "$BLUE" -draw "circle 14,18 14,21.5" -draw "polygon 12.4,20 15.6,20 16.6,28 11.4,28" \
    -fill white -font "$FONT_LATIN_BOLD" -pointsize 14 -annotate +29+23 'Mirvale' \
    -fill 'rgba(255,255,255,0.75)' -font "$FONT_CJK" -pointsize 10 -annotate +30+38 '米维尔安全' \
    "$1"
}

# --- 24 x 24 grey symbols with alpha of the window buttons and tray actions ---
symbol() {
  local file="$1"; shift
  save_grey -size 24x24 xc:none -fill none -stroke "$GREY" -strokewidth 2 -draw "stroke-linecap round" "$@" "$file"
}
draw_symbols() {
  symbol min.png -draw "line 6,13 18,13"
  symbol close.png -draw "line 7,7 17,17" -draw "line 17,7 7,17"
  symbol open.png -strokewidth 1.6 -draw "path 'M 11,6 L 6,6 L 6,18 L 18,18 L 18,13'" \
    -draw "line 12,12 18.5,5.5" -draw "path 'M 13.5,5.5 L 18.5,5.5 L 18.5,10.5'"
  symbol exit.png -draw "path 'M 8.5,7.5 A 7,7 0 1,0 15.5,7.5'" -draw "line 12,4 12,12"
}

# --- 30 x 31 page-button pictures, selected (blue) and default (grey) ---
gear_polygon() {
  awk 'BEGIN { cx = 15; cy = 15.5; n = 8; s = "";
    for (i = 0; i < n * 4; i++) {
      a = (i - 0.5) * 3.14159265 * 2 / (n * 4);
      r = (int(i / 2) % 2 == 0) ? 12 : 9;
      s = s sprintf("%.2f,%.2f ", cx + r * cos(a), cy + r * sin(a)) }
    print s }'
}
button_picture() {
  local file="$1" colour="$2" kind="$3"
  local ops=()
  case "$kind" in
    check) ops=(-stroke "$colour" -strokewidth 2.4 -fill none -draw "circle 15,15.5 15,4.5"
                -draw "polyline 9.5,15.5 13.5,19.5 20.5,11.5") ;;
    sign)  ops=(-stroke none -fill "$colour" -draw "polygon 19,4 25,10 12,23 6,24 7,18"
                -fill none -stroke "$colour" -strokewidth 2 -draw "line 4,28 26,28") ;;
    key)   ops=(-stroke "$colour" -strokewidth 2.6 -fill none -draw "circle 10,11 10,17"
                -draw "line 14.5,15.5 25,26" -draw "line 21,22 24,19" -draw "line 18,19 20.5,16.5") ;;
    set)   ops=(-stroke none -fill "$colour" -draw "polygon $(gear_polygon)"
                -fill none -stroke white -strokewidth 2 -draw "circle 15,15.5 15,11.5") ;;
  esac
  save -size 30x31 xc:none "${ops[@]}" "$file"
}
draw_page_buttons() {
  local kind
  for kind in check sign key set; do
    button_picture "bt_${kind}_select.png" "$BLUE_LIGHT" "$kind"
    button_picture "bt_${kind}_default.png" "$GREY_LIGHT" "$kind"
  done
}

# --- backgrounds and small pictures of the pages ---
draw_backgrounds() {
  save -size 120x120 radial-gradient:'rgba(59,128,229,0.55)-rgba(59,128,229,0)' \
    -fill none -stroke 'rgba(59,128,229,0.8)' -strokewidth 2 -draw "circle 60,60 60,6" bg_circle.png
  save -size 120x120 radial-gradient:'rgba(39,174,96,0.45)-rgba(39,174,96,0)' \
    -fill none -stroke 'rgba(39,174,96,0.8)' -strokewidth 2 -draw "circle 60,60 60,6" bg_circle_2.png
  save -size 200x40 xc:none -fill '#eaf2fd' -stroke '#b9d3f7' -strokewidth 1 \
    -draw "roundrectangle 0.5,0.5 199.5,39.5 6,6" bg_label.png
  save -size 800x431 -define gradient:direction=south 'gradient:#ffffff-#eef3fa' \
    -fill none -stroke 'rgba(59,128,229,0.06)' -strokewidth 1 \
    -draw "circle 700,380 700,180" -draw "circle 700,380 700,240" -draw "circle 700,380 700,300" \
    center_bg.png
  save -size 16x16 xc:none -fill none -stroke white -strokewidth 1.8 \
    -draw "line 4,4 12,12" -draw "line 12,4 4,12" bt_close.png
  save -size 16x16 xc:none -fill none -stroke white -strokewidth 1.8 -draw "line 3,9 13,9" bt_min.png
}
draw_status() {
  save -size 48x48 xc:none -fill '#e5484d' -stroke none -draw "circle 24,24 24,3" \
    -fill none -stroke white -strokewidth 4 -draw "stroke-linecap round" \
    -draw "line 16,16 32,32" -draw "line 32,16 16,32" error.png
  save -size 48x48 xc:none -fill '#2fa84f' -stroke none -draw "circle 24,24 24,3" \
    -fill none -stroke white -strokewidth 4 -draw "stroke-linejoin round" \
    -draw "line 14,25 21,32" -draw "line 21,32 34,17" ok.png
  save -size 48x48 xc:none -fill '#f2a01f' -stroke '#f2a01f' -strokewidth 4 -draw "stroke-linejoin round" \
    -draw "polygon 24,5 44,41 4,41" \
    -fill white -stroke none -draw "roundrectangle 21.8,15 26.2,31 2,2" -draw "circle 24,36 24,38.4" warn.png
}

draw_app_icon mirvale.png
cp "$out/mirvale.png" "$out/tray_logo.png"
draw_title title.png
draw_logo logo.png
draw_symbols
draw_page_buttons
draw_backgrounds
draw_status
echo "pictures written to $out"
