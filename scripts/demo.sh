#!/usr/bin/env bash
# Kestro's demo: installs what it needs, builds, makes a demo game folder
# (scripts/make-demo-game.sh) and runs the plug-in in the host.
#
#   On a terminal: the interactive host, with sound where the machine has a
#   sound device (keys: see the help line, docs/interactive.md).
#   Otherwise (or with --tour): a scripted tour in real time - start, next,
#   previous, pause, resume, seek, volume, random, panel off and on,
#   catalogue, stop, the stream - printing the game screen after each step,
#   then the log and the catalogue, with the audio captured to a WAV file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$root/build"

game="$root/build/demo-game"
music="$root/build/demo-music"
"$root/scripts/make-demo-game.sh" "$game" "$music"
host="$root/build/kestro-host"

if [[ "${1:-}" != "--tour" && -t 0 && -t 1 ]]; then
  echo "Demo game folder: $game"
  exec "$host" --game-dir "$game"
fi

# The tour: each step is a heading and the scenario lines that act it out;
# the screen is shown after each.
steps=(
  "The game starts; the first tick scans the library|vehicle 7
tick
wait 500"
  "X starts playback (the first start after loading picks a song at random)|random 0
press X
wait 2000"
  "Next song (media next)|press MEDIA_NEXT_TRACK
wait 2000"
  "Previous song (media previous)|press MEDIA_PREV_TRACK
wait 1500"
  "Pause (media play/pause): the times stand still|press MEDIA_PLAY_PAUSE
wait 1500"
  "Resume (media play/pause)|press MEDIA_PLAY_PAUSE
wait 1000"
  "Seek forward twice (keypad 3): two seconds each|press NUMPAD3
tick
press NUMPAD3
wait 500"
  "Seek back (keypad 1)|press NUMPAD1
wait 500"
  "Volume up twice (keypad 9)|press NUMPAD9
tick
press NUMPAD9
wait 500"
  "Random order on (R)|press R
wait 500"
  "Panel off (U): nothing drawn|press U
wait 500"
  "Panel on again (U)|press U
wait 500"
  "Stop (media stop): the game radio is given back|press MEDIA_STOP
wait 1000"
  "Catalogue (right Ctrl + F10, while stopped): songs.txt written|hold RCONTROL
hold F10
tick
release F10
release RCONTROL
wait 300"
  "T switches the start key to the stream|press T
wait 500"
  "X starts the stream (a playlist of two local files)|press X
wait 2500"
  "Next entry of the stream (media next)|press MEDIA_NEXT_TRACK
wait 2500"
  "Stop the stream (media stop)|press MEDIA_STOP
wait 500"
)

tour=$(mktemp -d)
trap 'rm -rf "$tour"' EXIT
headings=()
for step in "${steps[@]}"; do
  headings+=("${step%%|*}")
  printf '%s\nscreen\n' "${step#*|}" >> "$tour/tour.scn"
done
capture="$root/build/demo-capture.wav"
echo "Demo game folder: $game"
echo "Running the tour in real time (about 30 s)..."
"$host" --game-dir "$game" --scenario "$tour/tour.scn" --transcript "$tour/transcript.txt" \
  --audio "pcm:$capture" --realtime 2>"$tour/stderr.txt" || { cat "$tour/stderr.txt"; exit 1; }

# The screen after each step, from the transcript's "screen" lines.
awk -v n="${#headings[@]}" -v headings="$(printf '%s\n' "${headings[@]}")" '
  BEGIN { split(headings, h, "\n"); step = 0 }
  $3 == "scenario" && $4 == "screen" {
    if (step > 0 && !shown) print "   (nothing drawn)"
    step++; printf "\n== %d. %s\n", step, h[step]; shown = 0; next
  }
  $3 == "screen" { sub(/^[^ ]+ [^ ]+ screen /, ""); printf "   | %s\n", $0; shown = 1 }
  END { if (step > 0 && !shown) print "   (nothing drawn)" }
' "$tour/transcript.txt"

echo
echo "== The log (ScriptHook.log)"
sed 's/^/   /' "$game/ScriptHook.log"
echo
echo "== The catalogue (songs.txt)"
tr -d '\r' < "$game/songs.txt" | sed 's/^/   /'
echo
echo
echo "== The audio: everything played, captured to $capture"
if command -v soxi >/dev/null 2>&1; then soxi "$capture" | grep -E 'Duration|Sample Rate|Channels' | sed 's/^/   /'; fi
echo "   (play it with: play '$capture', or any audio player)"
