#!/usr/bin/env bash
# Kestro's demo: installs what it needs, builds the host and the plug-in
# (only those: the tests and benchmarks are scripts/test.sh's), makes a demo
# game folder (scripts/make-demo-game.sh) and runs the plug-in in the host.
#
#   On a terminal where a sound device opens: the interactive host, with
#   sound (keys: see the help line; F1 lists them, F12 quits).
#   Otherwise (not on a terminal, no sound device, or --tour): a scripted
#   tour in real time - start, next, previous, pause, resume, seek, volume,
#   random, panel off and on, catalogue, stop, the stream - printing the
#   game screen after each step, then the log and the catalogue, with the
#   audio captured to a WAV file. It says first why it runs the tour.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"

dir="$root/build"
mkdir -p "$dir"
echo "demo: configuring the build in $dir"
cmake -S "$root" -B "$dir" -G Ninja >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; exit 1; }
echo "demo: building kestro-host and the plug-in (a minute or two on a small machine)"
ninja -C "$dir" -j"$(nproc)" kestro-host kestro

game="$dir/demo-game"
music="$dir/demo-music"
echo "demo: making the demo game folder $game"
"$root/scripts/make-demo-game.sh" "$game" "$music"
host="$dir/kestro-host"
capture="$dir/demo-capture.wav"

# The audio output a song start opens here, as the interactive mode would
# open it (libmpv's automatic choice): the host plays one demo song for a
# moment and its transcript names the output ("null ..." when no sound
# device opens). What the sound libraries complain about goes nowhere.
sound_output() {
  local probe
  probe=$(mktemp -d)
  mkdir "$probe/Songs"
  ln -s "$game/Songs/Harbour Lights.wav" "$probe/Songs/"
  printf 'tick\npress X\nwait 1500\n' >"$probe/probe.scn"
  timeout 30 "$host" --game-dir "$probe" --scenario "$probe/probe.scn" --realtime --audio auto \
    --transcript "$probe/transcript.txt" >/dev/null 2>&1 || true
  sed -n 's/^.* diag audio output: //p' "$probe/transcript.txt" 2>/dev/null | head -n 1
  rm -rf "$probe"
}

why=""
if [[ "${1:-}" == "--tour" ]]; then
  why="--tour asks for it"
elif [[ ! -t 0 || ! -t 1 ]]; then
  why="this is not a terminal (the interactive game needs one)"
else
  echo "demo: looking for a sound device..."
  output=$(sound_output)
  if [[ -z "$output" ]]; then
    why="no audio output opened in the sound check"
  elif [[ "$output" == null* ]]; then
    why="no sound device could be opened here"
  fi
fi

if [[ -z "$why" ]]; then
  echo "demo: sound goes to: $output"
  echo "demo: playing the game in $game (x starts the music, F1 lists the keys, F12 quits)"
  # Seed 3: the first start's random pick is the first song of the album.
  exec "$host" --game-dir "$game" --seed 3
fi

echo
echo "demo: the scripted tour rather than the interactive game: $why."
echo "      Its audio is captured to $capture."
[[ "${1:-}" == "--tour" ]] || echo "      On a terminal with a sound device, ./scripts/demo.sh plays the game interactively."

# The tour (demo/tour.scn): "## " lines are the steps' headings; each step
# ends with "screen", which puts the game screen into the transcript.
tour=$(mktemp -d)
trap 'rm -rf "$tour"' EXIT
echo "demo: running the tour in real time (about 30 s)..."
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
