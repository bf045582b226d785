#!/usr/bin/env bash
# A throw-away S3-compatible server for the upload tests: one Ceph monitor,
# one in-memory OSD and the object gateway, on free loopback ports, all
# state below one folder. Every process is stopped by its own PID.
#
#   s3_server.sh start <dir>          start everything, write <dir>/env
#   s3_server.sh stop <dir>           stop everything, remove <dir>
#   s3_server.sh stop-gateway <dir>   stop only the gateway (data stays)
#   s3_server.sh start-gateway <dir>  start the gateway again
#
# <dir>/env holds S3_ENDPOINT, S3_ACCESS_KEY, S3_SECRET_KEY, S3_REGION, or
# S3_SKIP=<reason> when the server cannot run here; the gateway also speaks
# https at S3_TLS_ENDPOINT with a certificate signed by the CA in S3_CA_FILE.
set -uo pipefail

action="${1:?action}"
dir="${2:?state folder}"
access_key="KAVRELTESTACCESSKEY1"
secret_key="kavrel-test-secret-key-0123456789abcdef"

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

stop_pid_file() {
  local file="$1"
  [ -f "$file" ] || return 0
  local pid
  pid="$(cat "$file")"
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

stop_all() {
  stop_pid_file "$dir/run/rgw.pid"
  for f in "$dir"/run/osd.*.pid; do stop_pid_file "$f"; done
  stop_pid_file "$dir/run/mon.a.pid"
}

skip() {
  stop_all
  mkdir -p "$dir"
  echo "S3_SKIP=$1" > "$dir/env"
  echo "S3 test server not started: $1"
  exit 0
}

wait_for_gateway() {
  local port="$1"
  for _ in $(seq 1 120); do
    if python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.5); sys.exit(s.connect_ex(('127.0.0.1', $port)))" 2>/dev/null; then
      return 0
    fi
    sleep 0.5
  done
  return 1
}

start_gateway() {
  local port
  port="$(cat "$dir/rgw_port")"
  radosgw -c "$dir/ceph.conf" -n client.rgw --pid-file "$dir/run/rgw.pid" </dev/null >>"$dir/log/rgw.out" 2>&1
  wait_for_gateway "$port" || { echo "gateway did not come up; see $dir/log"; return 1; }
}

case "$action" in
start)
  for tool in ceph-mon ceph-osd radosgw radosgw-admin monmaptool ceph s3cmd openssl; do
    command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (scripts/install-deps.sh installs it)"
  done
  stop_all  # a server left by an interrupted run
  rm -rf "$dir"
  mkdir -p "$dir"/{run,log,mon,osd,rgw}
  mon_port="$(free_port)"
  rgw_port="$(free_port)"
  tls_port="$(free_port)"
  echo "$rgw_port" > "$dir/rgw_port"
  # A CA of this run only, and the gateway's certificate for 127.0.0.1 signed by it.
  mkdir -p "$dir/tls"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=kavrel test CA" \
    -keyout "$dir/tls/ca.key" -out "$dir/tls/ca.pem" >"$dir/log/tls.out" 2>&1 || skip "openssl could not make a CA"
  openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
    -keyout "$dir/tls/gateway.key" -out "$dir/tls/gateway.csr" >>"$dir/log/tls.out" 2>&1 \
    || skip "openssl could not make a key"
  printf 'subjectAltName=IP:127.0.0.1\n' > "$dir/tls/san.ext"
  openssl x509 -req -in "$dir/tls/gateway.csr" -CA "$dir/tls/ca.pem" -CAkey "$dir/tls/ca.key" -CAcreateserial \
    -days 2 -extfile "$dir/tls/san.ext" -out "$dir/tls/gateway.pem" >>"$dir/log/tls.out" 2>&1 \
    || skip "openssl could not sign the certificate"
  fsid="$(python3 -c 'import uuid; print(uuid.uuid4())')"
  cat > "$dir/ceph.conf" <<EOF
[global]
fsid = $fsid
mon host = v2:127.0.0.1:$mon_port
mon initial members = a
auth cluster required = none
auth service required = none
auth client required = none
# Without these the gateway waits 300 s for a secure connection mode.
ms mon client mode = crc
ms client mode = crc
ms cluster mode = crc
ms service mode = crc
osd pool default size = 1
osd pool default min size = 1
mon allow pool size one = true
mon warn on pool no redundancy = false
osd crush chooseleaf type = 0
osd objectstore = memstore
memstore device bytes = 2147483648
run dir = $dir/run
admin socket = $dir/run/\$name.asok
log file = $dir/log/\$name.log
pid file = $dir/run/\$name.pid
mon data = $dir/mon/\$id
osd data = $dir/osd/\$id
keyring = /dev/null
[client.rgw]
rgw frontends = beast endpoint=127.0.0.1:$rgw_port ssl_endpoint=127.0.0.1:$tls_port ssl_certificate=$dir/tls/gateway.pem ssl_private_key=$dir/tls/gateway.key
rgw data = $dir/rgw
EOF
  monmaptool --create --addv a "[v2:127.0.0.1:$mon_port]" --fsid "$fsid" "$dir/monmap" >"$dir/log/setup.out" 2>&1 \
    || skip "monmaptool failed; see $dir/log/setup.out"
  ceph-mon -c "$dir/ceph.conf" --mkfs -i a --monmap "$dir/monmap" >>"$dir/log/setup.out" 2>&1 \
    || skip "ceph-mon --mkfs failed; see $dir/log/setup.out"
  ceph-mon -c "$dir/ceph.conf" -i a </dev/null >>"$dir/log/setup.out" 2>&1 || skip "ceph-mon did not start"
  osd_id="$(timeout 60 ceph -c "$dir/ceph.conf" osd create 2>>"$dir/log/setup.out")" || skip "osd create failed"
  mkdir -p "$dir/osd/$osd_id"
  ceph-osd -c "$dir/ceph.conf" -i "$osd_id" --mkfs >>"$dir/log/setup.out" 2>&1 || skip "ceph-osd --mkfs failed"
  ceph-osd -c "$dir/ceph.conf" -i "$osd_id" </dev/null >>"$dir/log/setup.out" 2>&1 || skip "ceph-osd did not start"
  echo "$osd_id" > "$dir/osd_id"
  start_gateway || skip "the gateway did not start"
  radosgw-admin -c "$dir/ceph.conf" user create --uid=kavrel-test --display-name=kavrel-test \
    --access-key="$access_key" --secret-key="$secret_key" >>"$dir/log/setup.out" 2>&1 || skip "user create failed"
  s3cmd -c /dev/null --access_key="$access_key" --secret_key="$secret_key" --host="127.0.0.1:$rgw_port" \
    --host-bucket="127.0.0.1:$rgw_port" --no-ssl mb s3://default-bucket >>"$dir/log/setup.out" 2>&1 \
    || skip "the bucket could not be made"
  cat > "$dir/env" <<EOF
S3_ENDPOINT=http://127.0.0.1:$rgw_port
S3_ACCESS_KEY=$access_key
S3_SECRET_KEY=$secret_key
S3_REGION=us-east-1
S3_TLS_ENDPOINT=https://127.0.0.1:$tls_port
S3_CA_FILE=$dir/tls/ca.pem
EOF
  echo "S3 test server on http://127.0.0.1:$rgw_port (state in $dir)"
  ;;
stop)
  stop_all
  rm -rf "$dir"
  ;;
stop-gateway)
  stop_pid_file "$dir/run/rgw.pid"
  ;;
start-gateway)
  start_gateway
  ;;
*)
  echo "usage: $0 start|stop|stop-gateway|start-gateway <dir>" >&2
  exit 2
  ;;
esac
