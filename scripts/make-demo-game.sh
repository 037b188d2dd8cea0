#!/usr/bin/env bash
# Makes the demo game folder: a dozen short songs made by real encoders
# (lame, sox, ffmpeg) in several formats and nested folders, with real tags
# (a FLAC and an Opus song among them, played with ExtraFormats=1);
# one song reached through a shortcut; a folder shortcut named by
# ShortCutDir; a playlist for the stream; and Kestro.ini.
#
#   scripts/make-demo-game.sh GAME_DIR MUSIC_DIR
#
# Shortcuts here are symbolic links named *.lnk (see docs/shortcuts.md);
# Windows .lnk files work the same way.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
game=$1
music=$2
rm -rf "$game" "$music"
mkdir -p "$game/Songs/Road Trip" "$game/Songs/Jazz/Late Night" "$game/Songs/Live" "$music/Evenings" "$game/Extras/Radio"
game=$(cd "$game" && pwd)
music=$(cd "$music" && pwd)

# tone FILE SECONDS HZ TITLE ARTIST ALBUM YEAR: a sine tone with tags, in
# the format of FILE's extension (the .iff is an AIFF file by another name).
tone() {
  local file=$1 seconds=$2 hz=$3 title=$4 artist=$5 album=$6 year=$7
  local tmp
  tmp=$(mktemp --suffix=.wav)
  sox -n -r 44100 -c 2 -b 16 "$tmp" synth "$seconds" sine "$hz" fade 0.05 "$seconds" 0.2 vol 0.4
  local tags=(-metadata title="$title" -metadata artist="$artist" -metadata album="$album")
  case "$file" in
    *.mp3) lame --quiet -V 4 --tt "$title" --ta "$artist" --tl "$album" --ty "$year" "$tmp" "$file" ;;
    *.au)  sox "$tmp" "$file" ;;
    *.aif|*.iff) ffmpeg -nostdin -v error -y -i "$tmp" -f aiff -write_id3v2 1 "${tags[@]}" -metadata date="$year" "$file" ;;
    *.wma) ffmpeg -nostdin -v error -y -i "$tmp" "${tags[@]}" -metadata WM/Year="$year" "$file" ;;
    *) ffmpeg -nostdin -v error -y -i "$tmp" "${tags[@]}" -metadata date="$year" "$file" ;;
  esac
  rm -f "$tmp"
}

tone "$game/Songs/Road Trip/01 Open Road.mp3"    6 440 "Open Road"      "The Testers" "Road Trip" 2008
tone "$game/Songs/Road Trip/02 Night Drive.mp3"  5 494 "Night Drive"    "The Testers" "Road Trip" 2008
tone "$game/Songs/Road Trip/03 Coast Line.wma"   5 523 "Coast Line"     "The Testers" "Road Trip" 2008
tone "$game/Songs/Harbour Lights.wav"            5 587 "Harbour Lights" "Quay Band"   "Docks"     2011
tone "$game/Songs/Jazz/Blue Hour.aif"            5 659 "Blue Hour"      "Trio Nord"   "Late Set"  1999
tone "$game/Songs/Jazz/Late Night/Last Call.au"  4 698 "Last Call"      "Trio Nord"   "Late Set"  1999
tone "$game/Songs/Live/Encore.m4a"               5 784 "Encore"         "Quay Band"   "Live"      2012
tone "$game/Songs/Road Trip/04 Tail Lights.flac" 5 554 "Tail Lights"    "The Testers" "Road Trip" 2008
tone "$game/Songs/Live/Afterglow.opus"           5 740 "Afterglow"      "Quay Band"   "Live"      2012
tone "$game/Extras/Favourite.mp3"                5 880 "Favourite"      "Dusk"        "Singles"   2015
tone "$music/Sunset.mp3"                         5 330 "Sunset"         "Dusk"        "Evenings"  2016
tone "$music/Evenings/Dawn.iff"                  4 370 "Dawn"           "Dusk"        "Evenings"  2016
tone "$music/Evenings/Twilight.wma"              4 392 "Twilight"       "Dusk"        "Evenings"  2016
tone "$game/Extras/Radio/Radio One.mp3"         20 262 "Radio One"     "Demo FM"     "On Air"    2020
tone "$game/Extras/Radio/Radio Two.mp3"         20 294 "Radio Two"     "Demo FM"     "On Air"    2020

# A song reached through a shortcut, and the folder shortcut of ShortCutDir.
ln -s "$game/Extras/Favourite.mp3" "$game/Songs/Favourite.lnk"
ln -s "$music" "$game/Songs/Music.lnk"
printf '%s\n' "$game/Extras/Radio/Radio One.mp3" "$game/Extras/Radio/Radio Two.mp3" > "$game/Extras/Radio/radio.m3u"
sed "s|@RADIO@|$game/Extras/Radio|" "$root/demo/Kestro.ini" > "$game/Kestro.ini"
