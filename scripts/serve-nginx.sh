#!/usr/bin/env bash
# Serves a directory over HTTP on 127.0.0.1 with a private nginx (no root paths touched).
#   scripts/serve-nginx.sh DIR [PORT]      start in the foreground; Ctrl-C stops it
#   scripts/serve-nginx.sh --stop [PORT]   stop the server on PORT (or the only one running),
#                                          started from another terminal
# Each server keeps its state (configuration, pid, logs) in its own folder, one per port, under
# ${TMPDIR:-/tmp}/orvane-serve-nginx-UID/.
set -euo pipefail
base="${TMPDIR:-/tmp}/orvane-serve-nginx-$(id -u)"
usage() { echo "usage: $0 DIR [PORT] | --stop [PORT] | --help" >&2; exit 2; }

running_ports() {
  local pidfile
  for pidfile in "$base"/*/nginx.pid; do
    [ -f "$pidfile" ] || continue
    if kill -0 "$(cat "$pidfile")" 2>/dev/null; then basename "$(dirname "$pidfile")"; fi
  done
}

case "${1:-}" in
  -h|--help)
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
    exit 0 ;;
  --stop)
    [ $# -le 2 ] || usage
    port="${2:-}"
    if [ -z "$port" ]; then
      ports="$(running_ports)"
      count="$(printf '%s' "$ports" | grep -c . || true)"
      if [ "$count" -eq 0 ]; then echo "not running"; exit 0; fi
      if [ "$count" -gt 1 ]; then
        echo "several servers are running (ports: $(echo $ports)); name one: $0 --stop PORT" >&2
        exit 2
      fi
      port="$ports"
    fi
    [[ "$port" =~ ^[0-9]+$ ]] || usage
    pidfile="$base/$port/nginx.pid"
    if [ -f "$pidfile" ] && kill "$(cat "$pidfile")" 2>/dev/null; then
      echo "stopped the server on port $port"
    else
      echo "no server running on port $port"
    fi
    exit 0 ;;
esac

[ $# -ge 1 ] && [ $# -le 2 ] && [ -d "$1" ] || usage
root="$(cd "$1" && pwd)"
if [ $# -eq 2 ]; then
  port="$2"
  [[ "$port" =~ ^[0-9]+$ ]] && [ "$port" -ge 1 ] && [ "$port" -le 65535 ] || { echo "$0: '$port' is not a port" >&2; exit 2; }
  # nginx itself would only log the failed bind; the user hears it here.
  if ! python3 -c 'import socket,sys; s=socket.socket(); s.bind(("127.0.0.1", int(sys.argv[1])))' "$port" 2>/dev/null; then
    echo "$0: port $port on 127.0.0.1 is taken (by another program or server); choose another one" >&2
    exit 1
  fi
else
  port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
fi
state="$base/$port"
mkdir -p "$state/logs" "$state/temp"
user=""
[ "$(id -u)" -eq 0 ] && user="user root;"
cat > "$state/nginx.conf" <<CONF
$user
worker_processes 2;
pid $state/nginx.pid;
error_log $state/logs/error.log warn;
events { worker_connections 512; }
http {
  access_log off;
  default_type application/octet-stream;
  sendfile on;
  client_body_temp_path $state/temp/body;
  proxy_temp_path $state/temp/proxy;
  fastcgi_temp_path $state/temp/fastcgi;
  uwsgi_temp_path $state/temp/uwsgi;
  scgi_temp_path $state/temp/scgi;
  server { listen 127.0.0.1:$port; root $root; location / { autoindex on; } }
}
CONF
echo "serving $root at http://127.0.0.1:$port/ (Ctrl-C or $0 --stop $port to end)"
exec /usr/sbin/nginx -p "$state" -c "$state/nginx.conf" -e "$state/logs/error.log" -g 'daemon off;'
