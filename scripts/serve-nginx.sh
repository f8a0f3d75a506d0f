#!/usr/bin/env bash
# Serves a directory over HTTP on 127.0.0.1 with a private nginx (no root paths touched).
#   scripts/serve-nginx.sh DIR [PORT]   start in the foreground; Ctrl-C stops it
#   scripts/serve-nginx.sh --stop       stop one started from another terminal
set -euo pipefail
state="${TMPDIR:-/tmp}/orvane-serve-nginx-$(id -u)"
if [ "${1:-}" = "--stop" ]; then
  [ -f "$state/nginx.pid" ] && kill "$(cat "$state/nginx.pid")" && echo "stopped" || echo "not running"
  exit 0
fi
[ $# -ge 1 ] && [ -d "$1" ] || { echo "usage: $0 DIR [PORT] | --stop" >&2; exit 2; }
root="$(cd "$1" && pwd)"
port="${2:-$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}"
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
echo "serving $root at http://127.0.0.1:$port/ (Ctrl-C or $0 --stop to end)"
exec /usr/sbin/nginx -p "$state" -c "$state/nginx.conf" -e "$state/logs/error.log" -g 'daemon off;'
