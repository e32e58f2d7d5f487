#!/usr/bin/env bash
# jalv instantiates the built LV2 under a JACK server on the dummy driver and shows its six audio
# ports (main in L/R, sidechain L/R, out L/R). Exits 77 (skipped) where JACK cannot run.
set -u
bundle=$1
uri=$2

for tool in jackd jalv jack_lsp; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed"; exit 77; }
done

work=$(mktemp -d)
export JACK_DEFAULT_SERVER="lumetta-smoke-$$"
export JACK_NO_AUDIO_RESERVATION=1
# Clients must wait for our server, not start one of their own.
export JACK_NO_START_SERVER=1
pids=()
cleanup() {
  exec 3>&-
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

start_jackd() {
  jackd --no-realtime -d dummy -r 48000 -p 512 >"$work/jackd.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do jack_lsp >/dev/null 2>&1 && return 0; sleep 0.2; done
  return 1
}
if ! start_jackd; then
  # A JACK server killed without cleaning up leaves a stale shared-memory registry that makes
  # every later server hang at start. With no JACK server running at all it is safe to drop it.
  kill "${pids[@]}" 2>/dev/null; wait 2>/dev/null; pids=()
  if ! pgrep -x jackd >/dev/null && ! pgrep -x jackdbus >/dev/null; then
    rm -f /dev/shm/jack-shm-registry /dev/shm/jack_sem.* /dev/shm/jack-[0-9]*-[0-9]* 2>/dev/null
  fi
  if ! start_jackd; then
    echo "SKIPPED: jackd could not start here:"; cat "$work/jackd.log"; exit 77
  fi
fi

# jalv reads commands from stdin and quits at its end: hold a pipe open while the ports are listed.
mkfifo "$work/stdin"
LV2_PATH="$(dirname "$bundle")" jalv -n lumetta "$uri" <"$work/stdin" >"$work/jalv.log" 2>&1 &
pids+=($!)
exec 3>"$work/stdin"

ports=""
for _ in $(seq 150); do
  ports=$(jack_lsp -t 2>/dev/null | paste - - | grep '^lumetta:' | grep 'audio' || true)
  [ "$(printf '%s\n' "$ports" | grep -c audio)" -ge 6 ] && break
  sleep 0.2
done

count=$(printf '%s\n' "$ports" | grep -c audio)
printf '%s\n' "$ports"
if [ "$count" -ne 6 ]; then
  echo "FAILED: expected 6 audio ports on lumetta, found $count"
  cat "$work/jalv.log"
  exit 1
fi
echo "jalv shows the plug-in with $count audio ports"
