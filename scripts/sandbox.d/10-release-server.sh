# shellcheck shell=bash
# Release server for the tests: nginx serving https://korva.com/ over real TLS
# with a test CA that Wine trusts (and nothing else), plus a scriptable fault
# server for responses a sane server will not give on purpose.
#
# Contract for test code (all exported):
#   KORVA_WWW              directory served at https://korva.com/ and
#                          https://www.korva.com/ (port 443), so the manifest is
#                          $KORVA_WWW/updates/korva-suite-update.txt
#   KORVA_ALT_PORT         the same tree, same trusted certificate, other port
#   KORVA_HTTP_PORT        the same tree in plain http (target of an https to
#                          http redirect)
#   KORVA_UNTRUSTED_PORT   the same tree, certificate from a CA Wine does not
#                          trust
#   KORVA_EXPIRED_PORT     the same tree, trusted CA but expired certificate
#   KORVA_WRONG_NAME_PORT  the same tree, trusted certificate for
#                          $KORVA_FOREIGN_HOST only
#   KORVA_FOREIGN_HOST     a host outside the official domain that resolves to
#                          127.0.0.1; nginx serves the same tree for it on 443
#                          with its own trusted certificate
#   KORVA_TRAP_HOST        a foreign host that resolves to $KORVA_TRAP_ADDRESS,
#   KORVA_LOOKALIKE_HOST   as does this name that starts like the official
#                          domain; the fault server answers for both there, on
#                          443 and on KORVA_ALT_PORT, with a trusted
#                          certificate naming both, so a client that follows
#                          a redirect there gets what it asked for
#   KORVA_TRAP_LOG         one line per connection accepted there, logged
#                          before TLS: empty means nobody connected
#   KORVA_FAULT_SCENARIO   JSON file selecting misbehaviour per request path
#                          (format: scripts/fault-server.py). While it exists,
#                          the manifest path on 443 is proxied by nginx to the
#                          fault server; anything under /faults/ always is.
#                          Delete it to serve the manifest statically again.
#   KORVA_FAULT_TLS_PORT   the fault server speaking TLS itself (trusted
#                          certificate for korva.com), for faults that nginx
#                          would repair in proxying: bad lengths, resets, stalls
#   KORVA_ACCESS_LOG       nginx requests, KORVA_FAULT_LOG fault-server
#                          requests, one line each:
#                          port TAB host TAB request line TAB status TAB
#                          body bytes TAB user agent TAB Range TAB If-Range
#                          ("-" for a header not sent). nginx serves ranges of
#                          the static tree itself (ETag, Last-Modified, 206,
#                          416); the fault server on request
#   KORVA_CA_CERT          the trusted test CA, for clients other than Wine
#   KORVA_CA_KEY           its key, for tests that issue certificates of their
#                          own under it (code signing)
#   KORVA_SERVER_CERT, KORVA_SERVER_KEY  the trusted korva.com certificate and
#                          its key, for servers of a test's own
# Suites that rewrite the served tree or the scenario take the ctest
# RESOURCE_LOCK korva_release_server, so parallel ctest runs stay correct.

release_root=$KORVA_SANDBOX/release-server
release_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export KORVA_WWW=$release_root/www
export KORVA_ALT_PORT=8443
export KORVA_HTTP_PORT=80
export KORVA_UNTRUSTED_PORT=9443
export KORVA_EXPIRED_PORT=9444
export KORVA_WRONG_NAME_PORT=9445
export KORVA_FOREIGN_HOST=mirror.example.net
export KORVA_TRAP_HOST=downloads.example.org
export KORVA_LOOKALIKE_HOST=korva.com.example.org
export KORVA_TRAP_ADDRESS=127.0.0.5
export KORVA_TRAP_LOG=$release_root/faults/connections.log
export KORVA_FAULT_SCENARIO=$release_root/faults/scenario.json
export KORVA_FAULT_TLS_PORT=8444
export KORVA_ACCESS_LOG=$release_root/nginx/access.log
export KORVA_FAULT_LOG=$release_root/faults/requests.log
export KORVA_CA_CERT=$release_root/pki/ca.crt
export KORVA_SERVER_CERT=$release_root/pki/server.crt
export KORVA_SERVER_KEY=$release_root/pki/leaf.key
export KORVA_CA_KEY=$release_root/pki/ca.key
release_fault_http_port=8081

mkdir -p "$release_root"/{pki,trust,faults,nginx/tmp} "$KORVA_WWW/updates" "$KORVA_WWW/faults"
touch "$KORVA_ACCESS_LOG" "$KORVA_FAULT_LOG" "$KORVA_TRAP_LOG"

# Certificates, with EC keys: RSA key generation costs seconds. One leaf key
# serves every certificate; only issuers, names and dates differ.
release_make_certificates() {
  (
    cd "$release_root/pki"
    set -e
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out leaf.key
    for ca in ca rogue-ca; do
      openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout $ca.key -out $ca.crt -days 30 \
        -subj "/CN=KORVA test $ca" -addext basicConstraints=critical,CA:TRUE \
        -addext keyUsage=critical,keyCertSign,cRLSign
    done
    leaf() { # name issuer hosts...
      local name=$1 issuer=$2 san
      shift 2
      san=$(printf 'DNS:%s,' "$@")
      printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' "${san%,}" >"$name.ext"
      openssl req -new -key leaf.key -subj "/CN=$1" -out "$name.csr"
      openssl x509 -req -in "$name.csr" -CA "$issuer.crt" -CAkey "$issuer.key" -CAcreateserial -days 30 \
        -extfile "$name.ext" -out "$name.crt"
    }
    leaf server ca korva.com www.korva.com
    leaf untrusted rogue-ca korva.com www.korva.com
    leaf foreign ca "$KORVA_FOREIGN_HOST"
    leaf trap ca "$KORVA_TRAP_HOST" "$KORVA_LOOKALIKE_HOST"
    # x509 -req cannot back-date in OpenSSL 3.0; the ca command can.
    mkdir -p newcerts
    : >index.txt
    printf '[ca]\ndefault_ca=test\n[test]\ndatabase=index.txt\nnew_certs_dir=newcerts\nserial=ca.srl\n' >ca.cnf
    printf 'default_md=sha256\npolicy=any\nunique_subject=no\n[any]\ncommonName=supplied\n' >>ca.cnf
    openssl req -new -key leaf.key -subj /CN=korva.com -out expired.csr
    openssl ca -batch -notext -config ca.cnf -cert ca.crt -keyfile ca.key -in expired.csr -out expired.crt \
      -startdate 20200101000000Z -enddate 20200201000000Z -extfile server.ext
  )
}
release_make_certificates 2>"$release_root/pki/openssl.log" || { cat "$release_root/pki/openssl.log" >&2; exit 1; }

# Wine reads its trusted roots from /etc/ssl/certs once per wineserver
# session; the sandbox restarts the wineserver after the hooks.
cp "$KORVA_CA_CERT" "$release_root/trust/ca-certificates.crt"
mount --bind "$release_root/trust" /etc/ssl/certs
sandbox_cleanups+=("umount /etc/ssl/certs")

cp /etc/hosts "$release_root/hosts"
echo "127.0.0.1 $KORVA_FOREIGN_HOST" >>"$release_root/hosts"
echo "$KORVA_TRAP_ADDRESS $KORVA_TRAP_HOST $KORVA_LOOKALIKE_HOST" >>"$release_root/hosts"
mount --bind "$release_root/hosts" /etc/hosts
sandbox_cleanups+=("umount /etc/hosts")

release_tls_server() { # port certificate [server names] [listen flags]
  cat <<EOF
    server {
        listen 127.0.0.1:$1 ssl${4:-};
        server_name ${3:-korva.com www.korva.com};
        ssl_certificate $release_root/pki/$2.crt;
        ssl_certificate_key $release_root/pki/leaf.key;
        include $release_root/nginx/locations.conf;
    }
EOF
}

cat >"$release_root/nginx/locations.conf" <<EOF
        root $KORVA_WWW;
        location = /updates/korva-suite-update.txt {
            if (-f $KORVA_FAULT_SCENARIO) {
                proxy_pass http://127.0.0.1:$release_fault_http_port;
            }
        }
        location /faults/ {
            proxy_pass http://127.0.0.1:$release_fault_http_port;
        }
EOF

cat >"$release_root/nginx/nginx.conf" <<EOF
user root;
daemon off;
worker_processes 1;
pid $release_root/nginx/nginx.pid;
error_log $release_root/nginx/error.log warn;
events { worker_connections 64; }
http {
    types { text/plain txt; application/octet-stream exe; }
    default_type application/octet-stream;
    log_format korva '\$server_port\t\$host\t\$request\t\$status\t\$body_bytes_sent\t\$http_user_agent\t\$http_range\t\$http_if_range';
    access_log $KORVA_ACCESS_LOG korva;
    client_body_temp_path $release_root/nginx/tmp/body;
    proxy_temp_path $release_root/nginx/tmp/proxy;
    fastcgi_temp_path $release_root/nginx/tmp/fastcgi;
    uwsgi_temp_path $release_root/nginx/tmp/uwsgi;
    scgi_temp_path $release_root/nginx/tmp/scgi;
    # Wine's WinHTTP speaks at most TLS 1.2.
    ssl_protocols TLSv1.2 TLSv1.3;
    proxy_buffering off;
    proxy_set_header Host \$http_host;
    proxy_set_header User-Agent \$http_user_agent;

$(release_tls_server 443 server "" " default_server")
$(release_tls_server 443 foreign "$KORVA_FOREIGN_HOST")
$(release_tls_server "$KORVA_ALT_PORT" server)
$(release_tls_server "$KORVA_UNTRUSTED_PORT" untrusted)
$(release_tls_server "$KORVA_EXPIRED_PORT" expired)
$(release_tls_server "$KORVA_WRONG_NAME_PORT" foreign)
    server {
        listen 127.0.0.1:$KORVA_HTTP_PORT;
        server_name korva.com www.korva.com;
        include $release_root/nginx/locations.conf;
    }
}
EOF

# Waits until something accepts connections on a loopback port.
release_wait_for_port() { # port pid
  local i
  for ((i = 0; i < 100; i++)); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; then return 0; fi
    kill -0 "$2" 2>/dev/null || break
    sleep 0.05
  done
  echo "release server: nothing listens on port $1" >&2
  return 1
}

nginx -p "$release_root/nginx" -e "$release_root/nginx/error.log" -c "$release_root/nginx/nginx.conf" \
  >>"$release_root/nginx/output.log" 2>&1 &
release_nginx_pid=$!
sandbox_cleanups+=("kill $release_nginx_pid; wait $release_nginx_pid")

python3 "$release_scripts/fault-server.py" --www "$KORVA_WWW" --scenario "$KORVA_FAULT_SCENARIO" \
  --log "$KORVA_FAULT_LOG" --http-port "$release_fault_http_port" --tls-port "$KORVA_FAULT_TLS_PORT" \
  --cert "$release_root/pki/server.crt" --key "$release_root/pki/leaf.key" \
  --trap-address "$KORVA_TRAP_ADDRESS" --trap-port 443 --trap-port "$KORVA_ALT_PORT" \
  --trap-cert "$release_root/pki/trap.crt" --trap-log "$KORVA_TRAP_LOG" \
  >>"$release_root/faults/server.log" 2>&1 &
release_fault_pid=$!
sandbox_cleanups+=("kill $release_fault_pid; wait $release_fault_pid")

for port in 443 "$KORVA_ALT_PORT" "$KORVA_HTTP_PORT" "$KORVA_UNTRUSTED_PORT" "$KORVA_EXPIRED_PORT" \
  "$KORVA_WRONG_NAME_PORT"; do
  release_wait_for_port "$port" "$release_nginx_pid" || { cat "$release_root/nginx/error.log" >&2; exit 1; }
done
for port in "$release_fault_http_port" "$KORVA_FAULT_TLS_PORT"; do
  release_wait_for_port "$port" "$release_fault_pid" || { cat "$release_root/faults/server.log" >&2; exit 1; }
done
unset port
