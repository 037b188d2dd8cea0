#!/usr/bin/env bash
# Sets up, builds and runs Kestro's demo: the plug-in loaded into the host,
# a small game folder with real encoded songs, a scenario of ten seconds of
# game time, then the settings, the transcript, the catalogue and the log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

game="$root/build/demo-game"
music="$root/build/demo-music"
rm -rf "$game" "$music"
mkdir -p "$game/Songs/Road Trip" "$music/Live"
tone() {  # tone FILE SECONDS FREQ TITLE ARTIST ALBUM YEAR
  ffmpeg -loglevel error -y -f lavfi -i "sine=frequency=$3:duration=$2" -ac 2 \
    -metadata title="$4" -metadata artist="$5" -metadata album="$6" -metadata date="$7" "$1"
}
tone "$game/Songs/Road Trip/01 Open Road.mp3" 4 440 "Open Road" "The Testers" "Road Trip" 2008
tone "$game/Songs/Road Trip/02 Night Drive.mp3" 3 330 "Night Drive" "The Testers" "Road Trip" 2008
tone "$game/Songs/Harbour Lights.wav" 2 550 "Harbour Lights" "Quay Band" "Docks" 2011
tone "$music/Live/Encore.m4a" 2 660 "Encore" "Quay Band" "Live at the Docks" 2012
tone "$music/Sunset.mp3" 3 220 "Sunset" "Dusk" "Evenings" 1999
ln -s "$music" "$game/Songs/Music.lnk"
cp "$root/demo/Kestro.ini" "$game/Kestro.ini"

echo "== Settings file: $game/Kestro.ini"
cat "$game/Kestro.ini"
echo
echo "== Transcript (game time ms, tick, event)"
"$root/build/kestro-host" --game-dir "$game" --scenario "$root/demo/demo.scn" --show-settings
echo
echo "== Catalogue: $game/songs.txt"
tr -d '\r' < "$game/songs.txt"; echo
echo
echo "== Log file: $game/ScriptHook.log"
cat "$game/ScriptHook.log"
