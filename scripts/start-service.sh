#!/usr/bin/env bash
# Starts the local web service in the background unless one already answers
# at the base URL (KESTREL_SERVICE_URL or http://127.0.0.1:8470/).
# Usage: scripts/start-service.sh [--network] [--demo] [PATH-TO-kestrel-service]
#   --network  listen on all addresses, so that phones on this network reach it
#              (each of their requests needs the account's keys); without it,
#              on this computer only. A service that this script or Kestrel
#              started for this computer only is restarted for the network.
#   --demo     a new database first gets a demo phone with positions around Munich
set -euo pipefail

network=false
demo=false
program=build/kestrel-service
for argument in "$@"; do
  case "$argument" in
    --network) network=true ;;
    --demo) demo=true ;;
    -*) echo "usage: scripts/start-service.sh [--network] [--demo] [PATH-TO-kestrel-service]" >&2; exit 2 ;;
    *) program=$argument ;;
  esac
done
url=${KESTREL_SERVICE_URL:-http://127.0.0.1:8470/}

# host and port of an http URL
rest=${url#http://}
hostport=${rest%%/*}
host=${hostport%:*}
port=${hostport##*:}
[ "$host" != "$hostport" ] || port=80

# The service's files, where Kestrel keeps them too. The service's default
# database is here, or one an earlier version left in KESTREL while there is
# no new one.
data=${XDG_DATA_HOME:-$HOME/.local/share}/kestrel
mkdir -p "$data"
log=$data/kestrel-service.log
pidfile=$data/kestrel-service.pid
database=$data/kestrel-service.db
earlier=${XDG_DATA_HOME:-$HOME/.local/share}/KESTREL/kestrel-service.db
[ -e "$database" ] || [ ! -e "$earlier" ] || database=$earlier

answers() {
  (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null
}

# The command line of the service this script or Kestrel started, if it still runs.
started_serve() {
  local pid
  pid=$(cat "$pidfile" 2>/dev/null) || return 1
  [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -E '(^|/)kestrel-service serve ' || return 1
}

loopback_note() {
  echo "phones cannot reach it: it listens on this computer only."
  echo "For phones on this network: scripts/start-service.sh --network"
}

if answers; then
  command=$(started_serve || true)
  if $network && [ -n "$command" ] && ! grep -q -- "--address 0.0.0.0" <<<"$command"; then
    echo "restarting the web service at $url for phones on this network"
    pid=$(cat "$pidfile")
    kill "$pid"
    for _ in $(seq 1 100); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
  elif $network && [ -z "$command" ]; then
    echo "web service answers at $url, but it was not started here and cannot be restarted for phones" >&2
    echo "on this network: stop it, then run scripts/start-service.sh --network" >&2
    exit 1
  else
    echo "web service answers at $url"
    if [ -n "$command" ] && ! grep -q -- "--address 0.0.0.0" <<<"$command"; then
      loopback_note
    fi
    if $demo; then
      echo "no demo phone added: the web service runs already; in Kestrel, MORE, then"
      echo "\"Try it with demo positions around Munich\" adds one"
    fi
    exit 0
  fi
fi
case "$url" in
  http://127.0.0.1:*|http://localhost:*) ;;
  *) echo "web service at $url does not answer, and it is not a local one to start" >&2; exit 1 ;;
esac

if $demo; then
  if [ -s "$database" ]; then
    echo "no demo phone added: $database is not new; in Kestrel, MORE, then"
    echo "\"Try it with demo positions around Munich\" adds one"
  else
    "$program" demo
  fi
fi
address=127.0.0.1
! $network || address=0.0.0.0
echo "starting the local web service at $url (log: $log)"
nohup "$program" serve --address "$address" --port "$port" >>"$log" 2>&1 &
echo $! >"$pidfile"
for _ in $(seq 1 100); do
  if answers; then
    if $network; then
      echo "phones on this network can reach it; the log lists the phone page's addresses"
    else
      loopback_note
    fi
    exit 0
  fi
  sleep 0.1
done
echo "the web service did not start; see $log" >&2
exit 1
