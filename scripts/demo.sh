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
  # Seed 3: the first start's random pick is the first song of the album.
  exec "$host" --game-dir "$game" --seed 3
fi

# The tour (demo/tour.scn): "## " lines are the steps' headings; each step
# ends with "screen", which puts the game screen into the transcript.
tour=$(mktemp -d)
trap 'rm -rf "$tour"' EXIT
capture="$root/build/demo-capture.wav"
echo "Demo game folder: $game"
echo "Running the tour in real time (about 30 s)..."
"$host" --game-dir "$game" --scenario "$root/demo/tour.scn" --transcript "$tour/transcript.txt" \
  --audio "pcm:$capture" --realtime 2>"$tour/stderr.txt" || { cat "$tour/stderr.txt"; exit 1; }

# The screen after each step, from the transcript's "screen" lines.
awk -v headings="$(sed -n 's/^## //p' "$root/demo/tour.scn")" '
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
