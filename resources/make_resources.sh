#!/usr/bin/env bash
# Regenerates the launcher's committed art and sound assets:
#   main.png      800x600 background artwork (buttons are drawn into it)
#   banner.png    399x252 news banner
#   click.wav     short UI click
#   launcher.ico  application icon (16, 32, 48, 256)
#
# Needs only ImageMagick (convert or magick), sox and fonts-dejavu-core.
# Output is deterministic: fixed noise seeds, single-threaded ImageMagick,
# no timestamps or metadata in the PNGs, sox in repeatable mode.
#
# Usage: resources/make_resources.sh        (run from anywhere)
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$HERE"

# --- tools --------------------------------------------------------------------
if command -v magick >/dev/null 2>&1; then
    IM=(magick)
elif command -v convert >/dev/null 2>&1; then
    IM=(convert)
else
    echo "error: ImageMagick (magick or convert) not found" >&2
    exit 1
fi
command -v sox >/dev/null 2>&1 || { echo "error: sox not found" >&2; exit 1; }

FONTDIR=/usr/share/fonts/truetype/dejavu
SANS_B="$FONTDIR/DejaVuSans-Bold.ttf"
SANS="$FONTDIR/DejaVuSans.ttf"
SERIF_B="$FONTDIR/DejaVuSerif-Bold.ttf"
for f in "$SANS_B" "$SANS" "$SERIF_B"; do
    [[ -f "$f" ]] || { echo "error: missing font $f (install fonts-dejavu-core)" >&2; exit 1; }
done

# Random generators are seeded, but with several threads the rows are handed
# out in a different order each run; one thread keeps the noise repeatable.
export MAGICK_THREAD_LIMIT=1
export MAGICK_OCL_DEVICE=OFF

im() { "${IM[@]}" "$@"; }

TMP="$(mktemp -d)"
trap 'rm -rf "$TMP"' EXIT

# Final PNG write: 8-bit RGB, no alpha, no metadata, no time chunks.
# shellcheck disable=SC2054  # the commas belong to ImageMagick's chunk list
PNG_OUT=(-alpha off -depth 8 -type TrueColor -strip
         -define png:color-type=2 -define png:bit-depth=8
         -define png:exclude-chunk=date,time,bKGD,cHRM,gAMA,tIME,zTXt,tEXt,iTXt)

# --- helpers ------------------------------------------------------------------

# button OUT W H TOP BOTTOM BORDER HILITE TEXT SHADOW CAPTION
# A W x H button: 1px border, vertical gradient, 1px inner highlight on the
# top row, caption centred (DejaVu Sans Bold 14px) with a 1px drop shadow.
button() {
    local out=$1 w=$2 h=$3 top=$4 bottom=$5 border=$6 hilite=$7 text=$8 shadow=$9 caption=${10}
    im -size "$((w - 2))x$((h - 2))" "gradient:${top}-${bottom}" \
        -fill "$hilite" -draw "line 0,0 $((w - 3)),0" \
        -bordercolor "$border" -border 1 \
        -font "$SANS_B" -pointsize 14 -gravity center \
        -fill "$shadow" -annotate +0+1 "$caption" \
        -fill "$text" -annotate +0+0 "$caption" \
        +gravity -alpha off "$out"
}

# gold_text OUT W H FONT CAPTION
# Text rendered large, squeezed to exactly W x H and filled with a metallic
# gold gradient; the result is an RGBA layer.
gold_text() {
    local out=$1 w=$2 h=$3 font=$4 caption=$5
    im -background black -fill white -font "$font" -pointsize 200 \
        "label:$caption" -trim +repage -resize "${w}x${h}!" \
        -colorspace gray "$TMP/gt_mask.png"
    im \( -size "${w}x$((h / 2))" gradient:'#fff4c4'-'#e9b24a' \) \
       \( -size "${w}x$((h - h / 2))" gradient:'#b87a22'-'#f4c862' \) \
       -append "$TMP/gt_mask.png" -alpha off -compose CopyOpacity -composite \
       "$out"
}

# ==============================================================================
# main.png  (800 x 600)
# ==============================================================================
W=800 H=600

# 1. sky: cold blue-grey at the top, warm brown towards the ground
im -size ${W}x${H} gradient:'#1c2433'-'#2e261e' "$TMP/bg.png"

# dusk haze low on the left horizon
im -size 900x900 'radial-gradient:rgba(150,100,55,0.55)-none' -resize '900x420!' \
   "$TMP/haze.png"

# sparse stars, fading out towards the horizon
im -size ${W}x${H} xc:gray50 -seed 11 +noise Random -colorspace gray \
   -threshold 99.75% \
   \( -size ${W}x${H} gradient:'gray(70%)'-black \) -compose Multiply -composite \
   "$TMP/stars.png"

im "$TMP/bg.png" \
   "$TMP/haze.png" -geometry -260+150 -compose Over -composite \
   "$TMP/stars.png" -compose Screen -composite \
   "$TMP/sky.png"

# 2. mountain ranges, far to near, with a small keep on the middle ridge
FAR='0,330 40,302 85,318 130,268 172,296 215,258 258,292 300,278 345,306
     400,288 460,318 520,298 600,328 680,304 760,324 800,310 800,600 0,600'
MID='0,392 32,372 70,381 110,346 150,366 178,330 240,330 272,364 312,350
     352,380 420,368 500,394 580,374 660,400 740,384 800,394 800,600 0,600'
NEAR='0,452 48,432 98,446 150,420 210,441 262,426 322,452 400,438 500,456
      600,444 700,462 800,450 800,600 0,600'
GROUND='0,520 90,505 180,516 260,500 350,514 800,514 800,600 0,600'
KEEP='polygon 184,331 184,302 181,302 188,286 195,302 192,302 192,331
      rectangle 196,292 216,331
      rectangle 196,288 199,292 rectangle 202,288 205,292
      rectangle 208,288 211,292 rectangle 214,288 216,292
      polygon 221,331 221,298 218,298 227,279 236,298 233,298 233,331
      rectangle 188,314 222,331
      rectangle 190,311 192,314 rectangle 195,311 197,314
      rectangle 217,311 219,314 rectangle 223,311 225,314'

im "$TMP/sky.png" \
   -fill '#343c4b' -draw "polygon $FAR" \
   \( -size ${W}x110 gradient:'rgba(88,92,104,0)'-'rgba(88,92,104,0.55)' \) \
   -geometry +0+290 -compose Over -composite \
   -fill '#20252e' -draw "polygon $MID" -draw "$KEEP" \
   -fill '#d9963a' -draw 'rectangle 205,297 206,299' \
                   -draw 'rectangle 226,305 227,307' \
                   -draw 'point 187,308' \
   \( -size ${W}x100 gradient:'rgba(70,70,76,0)'-'rgba(70,70,76,0.45)' \) \
   -geometry +0+360 -compose Over -composite \
   -fill '#15181d' -draw "polygon $NEAR" \
   -fill '#0e1013' -draw "polygon $GROUND" \
   "$TMP/land.png"

# 3. fine grain + vignette
im -size ${W}x${H} xc:gray50 -seed 7 -attenuate 0.35 +noise Gaussian \
   -colorspace gray "$TMP/grain.png"
im -size 1136x852 radial-gradient:white-'gray(10%)' \
   -gravity center -crop ${W}x${H}+0+0 +repage +gravity \
   -level 0%,85% "$TMP/vignette.png"

im "$TMP/land.png" \
   "$TMP/grain.png" -compose Overlay -composite \
   "$TMP/vignette.png" -compose Multiply -composite \
   "$TMP/art.png"

# 4. title strip and the areas the launcher paints itself (kept plain dark)
im "$TMP/art.png" \
   \( -size ${W}x54 gradient:'#15181e'-'#1d2028' \) -geometry +0+0 -compose Over -composite \
   -fill '#4e4231' -draw 'line 0,53 799,53' \
   -fill '#0b0c0f' -draw 'line 0,54 799,54' \
   -fill none -stroke '#d4a347' -strokewidth 3 -draw 'circle 27,27 27,18' \
   -stroke none -fill '#edc675' -draw 'polygon 27,23 31,27 27,31 23,27' \
   -fill '#3a3226' -draw 'rectangle 349,59 751,415' \
   -fill '#101318' -draw 'rectangle 350,60 750,414' \
   -fill '#3a3226' -draw 'rectangle 352,427 751,482' \
   -fill '#101318' -draw 'rectangle 353,428 750,481' \
   "$TMP/framed.png"

# 5. title: "ORVEX" in gold (x 40..330, y 84..170), "Launcher" below it
gold_text "$TMP/title.png" 290 86 "$SERIF_B" "ORVEX"
im "$TMP/title.png" -alpha extract -background black -alpha shape \
   -bordercolor none -border 12 -channel A -blur 0x5 -evaluate multiply 0.9 +channel \
   "$TMP/title_shadow.png"
im "$TMP/title.png" -alpha extract -background '#2a1804' -alpha shape \
   -bordercolor none -border 2 -morphology Dilate Disk:1.5 \
   "$TMP/title_edge.png"
im "$TMP/title.png" -alpha extract -background '#ffb84a' -alpha shape \
   -bordercolor none -border 20 -channel A -blur 0x10 -evaluate multiply 0.35 +channel \
   "$TMP/title_glow.png"

# subtitle with thin gold rules either side
im -background none -fill '#d6bd86' -font "$SERIF_B" -pointsize 19 -kerning 5 \
   label:'Launcher' -trim +repage "$TMP/sub.png"
SUB_W=$(im "$TMP/sub.png" -format '%w' info:)
SUB_H=$(im "$TMP/sub.png" -format '%h' info:)
SUB_X=$(( 40 + (290 - SUB_W) / 2 ))
SUB_Y=$(( 182 - SUB_H / 2 ))
RULE_Y=182

im "$TMP/framed.png" \
   "$TMP/title_glow.png"   -geometry +20+64 -compose Screen -composite \
   "$TMP/title_shadow.png" -geometry +31+75 -compose Over -composite \
   "$TMP/title_edge.png"   -geometry +38+82 -compose Over -composite \
   "$TMP/title.png"        -geometry +40+84 -compose Over -composite \
   "$TMP/sub.png" -geometry "+$SUB_X+$SUB_Y" -compose Over -composite \
   -stroke none -fill '#a88a52' \
   -draw "rectangle 48,$RULE_Y $((SUB_X - 12)),$RULE_Y" \
   -draw "rectangle $((SUB_X + SUB_W + 12)),$RULE_Y 322,$RULE_Y" \
   -fill '#e8c77e' \
   -draw "polygon $((SUB_X - 8)),$RULE_Y $((SUB_X - 5)),$((RULE_Y - 3)) $((SUB_X - 2)),$RULE_Y $((SUB_X - 5)),$((RULE_Y + 3))" \
   -draw "polygon $((SUB_X + SUB_W + 2)),$RULE_Y $((SUB_X + SUB_W + 5)),$((RULE_Y - 3)) $((SUB_X + SUB_W + 8)),$RULE_Y $((SUB_X + SUB_W + 5)),$((RULE_Y + 3))" \
   "$TMP/titled.png"

# 6. buttons drawn into the art (rectangles are left/top inclusive, 132x35)
button "$TMP/b_start.png" 132 35 '#f1c25c' '#a96e1c' '#5e3b0c' '#ffe3a0' '#2a1700' '#f6d58a' 'BAŞLAT'
button "$TMP/b_web.png"   132 35 '#3c414c' '#22252c' '#5a5140' '#4d5360' '#e8dfc8' '#0a0b0d' 'WEB SİTESİ'
button "$TMP/b_opt.png"   132 35 '#3c414c' '#22252c' '#5a5140' '#4d5360' '#e8dfc8' '#0a0b0d' 'AYARLAR'

# close glyph button, 26x25 at (763,13)
im -size 24x23 gradient:'#30343c'-'#1b1d22' \
   -bordercolor '#5a5140' -border 1 \
   -stroke '#ddd2b8' -strokewidth 2 -fill none \
   -draw 'line 8,7.5 17,16.5' -draw 'line 17,7.5 8,16.5' \
   -alpha off "$TMP/b_close.png"

im "$TMP/titled.png" \
   "$TMP/b_start.png" -geometry +354+494 -compose Over -composite \
   "$TMP/b_web.png"   -geometry +486+494 -compose Over -composite \
   "$TMP/b_opt.png"   -geometry +618+494 -compose Over -composite \
   "$TMP/b_close.png" -geometry +763+13  -compose Over -composite \
   "${PNG_OUT[@]}" PNG24:main.png

# ==============================================================================
# banner.png  (399 x 252)
# ==============================================================================
BW=399 BH=252

# dramatic dusk sky: deep night blue -> violet -> ember orange at the horizon
im \( -size ${BW}x90  gradient:'#070a22'-'#241a4e' \) \
   \( -size ${BW}x80  gradient:'#241a4e'-'#7a2a5e' \) \
   \( -size ${BW}x82  gradient:'#7a2a5e'-'#f0763a' \) \
   -append +repage "$TMP/bn_sky.png"

im -size ${BW}x${BH} xc:gray50 -seed 23 +noise Random -colorspace gray \
   -threshold 99.4% \
   \( -size ${BW}x${BH} gradient:white-black \) -compose Multiply -composite \
   "$TMP/bn_stars.png"

# the star itself: soft glow plus four thin rays
im -size 160x160 'radial-gradient:rgba(190,215,255,0.9)-none' "$TMP/bn_glow.png"
im -size 120x120 xc:none -stroke 'rgba(225,235,255,0.85)' -strokewidth 1 \
   -draw 'line 60,4 60,116' -draw 'line 4,60 116,60' \
   -stroke 'rgba(225,235,255,0.45)' \
   -draw 'line 30,30 90,90' -draw 'line 30,90 90,30' \
   -channel A -blur 0x1 +channel \
   -fill white -stroke none -draw 'circle 60,60 60,63' \
   "$TMP/bn_ray.png"

BFAR='0,196 40,178 80,188 125,160 160,182 205,170 250,188 300,164 340,180
      399,172 399,252 0,252'
BNEAR='0,222 50,210 100,220 160,204 220,222 280,208 340,224 399,212
       399,252 0,252'

im "$TMP/bn_sky.png" \
   "$TMP/bn_stars.png" -compose Screen -composite \
   "$TMP/bn_glow.png" -geometry +250-20 -compose Screen -composite \
   "$TMP/bn_ray.png"  -geometry +270+0  -compose Over -composite \
   -fill '#3a1a3c' -draw "polygon $BFAR" \
   -fill '#150a18' -draw "polygon $BNEAR" \
   "$TMP/bn_land.png"

im -size ${BW}x${BH} xc:gray50 -seed 7 -attenuate 0.25 +noise Gaussian \
   -colorspace gray "$TMP/bn_grain.png"
im -size 566x566 radial-gradient:white-'gray(25%)' \
   -gravity center -crop ${BW}x${BH}+0+0 +repage +gravity \
   -level 0%,80% "$TMP/bn_vig.png"
im "$TMP/bn_land.png" \
   "$TMP/bn_grain.png" -compose Overlay -composite \
   "$TMP/bn_vig.png" -compose Multiply -composite \
   "$TMP/bn_art.png"

# "VEGA": icy white-to-blue letters with a cool glow and a dark drop shadow
im -background black -fill white -font "$SERIF_B" -pointsize 200 -kerning 20 \
   label:'VEGA' -trim +repage -resize '240x78!' -colorspace gray "$TMP/vega_mask.png"
im -size 240x78 gradient:'#ffffff'-'#9fc0ff' \
   "$TMP/vega_mask.png" -alpha off -compose CopyOpacity -composite "$TMP/vega.png"
im "$TMP/vega.png" -alpha extract -background '#6f9cff' -alpha shape \
   -bordercolor none -border 20 -channel A -blur 0x9 -evaluate multiply 0.6 +channel \
   "$TMP/vega_glow.png"
im "$TMP/vega.png" -alpha extract -background black -alpha shape \
   -bordercolor none -border 10 -channel A -blur 0x3 +channel \
   "$TMP/vega_shadow.png"

# "YENİ SUNUCU" tag
im -size 96x20 xc:none -fill '#f2b84b' -stroke '#7a4e10' -strokewidth 1 \
   -draw 'roundrectangle 0.5,0.5 95.5,19.5 5,5' \
   -stroke none -fill '#2a1700' -font "$SANS_B" -pointsize 11 -gravity center \
   -annotate +0+0 'YENİ SUNUCU' "$TMP/bn_tag.png"

im "$TMP/bn_art.png" \
   "$TMP/bn_tag.png"       -geometry +24+22  -compose Over -composite \
   "$TMP/vega_glow.png"    -geometry +4+38   -compose Screen -composite \
   "$TMP/vega_shadow.png"  -geometry +17+61  -compose Over -composite \
   "$TMP/vega.png"         -geometry +24+58  -compose Over -composite \
   -font "$SANS_B" -pointsize 21 \
   -fill '#1a0c10' -annotate +27+169 'Beta çok yakında' \
   -fill '#ffd27a' -annotate +25+167 'Beta çok yakında' \
   -fill '#e9b24a' -draw 'rectangle 25,178 115,179' \
   "${PNG_OUT[@]}" PNG24:banner.png

# ==============================================================================
# launcher.ico  (256, 48, 32, 16)
# ==============================================================================
# dark rounded tile, gold ring with a small diamond at its heart
im -size 256x256 xc:none \
   -fill '#171a21' -stroke '#6e5426' -strokewidth 8 \
   -draw 'roundrectangle 8,8 247,247 44,44' \
   "$TMP/ico_tile.png"
im -size 256x256 xc:black -fill none -stroke white -strokewidth 34 \
   -draw 'circle 128,128 128,52' \
   -fill white -stroke none -draw 'polygon 128,98 150,128 128,158 106,128' \
   "$TMP/ico_mask.png"
im \( -size 256x128 gradient:'#fff0b4'-'#e3a640' \) \
   \( -size 256x128 gradient:'#b97a22'-'#f2c660' \) -append \
   "$TMP/ico_mask.png" -alpha off -compose CopyOpacity -composite \
   "$TMP/ico_gold.png"
im "$TMP/ico_tile.png" "$TMP/ico_gold.png" -compose Over -composite \
   -depth 8 -strip -define icon:auto-resize=256,48,32,16 launcher.ico

# ==============================================================================
# click.wav  (~40 ms, 16-bit mono 44.1 kHz, sharp attack, fast decay)
# ==============================================================================
# a bright tick over a lower body; chained linear fade-outs multiply into a
# steep (1 - t/T)^n envelope, so the sound dies away within ~20 ms
sox -R -D -n -r 44100 -b 16 -c 1 "$TMP/tick.wav" \
    synth 0.04 sine 2600 \
    fade t 0.0005 0.04 0.04 fade t 0 0.04 0.04 fade t 0 0.04 0.04 fade t 0 0.04 0.04
sox -R -D -n -r 44100 -b 16 -c 1 "$TMP/body.wav" \
    synth 0.04 sine 900 \
    fade t 0.001 0.04 0.04 fade t 0 0.04 0.04 fade t 0 0.04 0.04 gain -3
sox -R -D -m "$TMP/tick.wav" "$TMP/body.wav" -b 16 -c 1 -r 44100 click.wav \
    norm -3

echo "wrote: main.png banner.png launcher.ico click.wav"
