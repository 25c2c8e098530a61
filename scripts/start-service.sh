#!/usr/bin/env bash
# Starts the local web service in the background unless one already answers
# at the base URL (KESTREL_SERVICE_URL or http://127.0.0.1:8470/). A new
# database gets a demo phone, so that everything can be tried at once.
# Usage: scripts/start-service.sh [PATH-TO-kestrel-service]
set -euo pipefail

program=${1:-build/kestrel-service}
url=${KESTREL_SERVICE_URL:-http://127.0.0.1:8470/}

# host and port of an http URL
rest=${url#http://}
hostport=${rest%%/*}
host=${hostport%:*}
port=${hostport##*:}
[ "$host" != "$hostport" ] || port=80

answers() {
  (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null
}

if answers; then
  echo "web service answers at $url"
  exit 0
fi
case "$url" in
  http://127.0.0.1:*|http://localhost:*) ;;
  *) echo "web service at $url does not answer, and it is not a local one to start" >&2; exit 1 ;;
esac

data=${XDG_DATA_HOME:-$HOME/.local/share}/KESTREL
mkdir -p "$data"
log=$data/kestrel-service.log
echo "starting the local web service at $url (log: $log)"
nohup "$program" serve --address 127.0.0.1 --port "$port" --demo-if-empty >>"$log" 2>&1 &
for _ in $(seq 1 100); do
  if answers; then
    exit 0
  fi
  sleep 0.1
done
echo "the web service did not start; see $log" >&2
exit 1
