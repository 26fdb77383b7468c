# shellcheck shell=bash
# Sourced by sandbox.sh after the release server: HTTP proxies for the tests
# of the installer's second route (the user's proxy settings), and a hosts
# file the tests may rewrite to cut the installer's direct route.
#
# Contract for test code (all exported):
#   KORVA_HOSTS            the file bind-mounted on /etc/hosts for everything
#                          but the proxies: rewrite it in place (same inode) to
#                          make korva.com unresolvable or point it elsewhere,
#                          and restore it; KORVA_HOSTS_ORIGINAL holds the
#                          starting content. Suites that rewrite it take the
#                          ctest RESOURCE_LOCK korva_hosts.
#   KORVA_PROXY_PORT       tinyproxy on 127.0.0.1, CONNECT to the release
#                          server's ports; it resolves korva.com through its
#                          own hosts file, untouched by the tests
#   KORVA_PROXY_AUTH_PORT  the same, but every request gets 407 (Basic auth)
#   KORVA_PROXY_LOG, KORVA_PROXY_AUTH_LOG  their logs; a tunnel is a line
#                          with "Request (file descriptor N): CONNECT host:port"
#   KORVA_PAC_PATH         URL path on http://127.0.0.1:$KORVA_HTTP_PORT/ of
#                          the auto-config script; tests write it under
#                          $KORVA_WWW

proxy_root=$KORVA_SANDBOX/proxy
mkdir -p "$proxy_root"
export KORVA_PROXY_PORT=3128
export KORVA_PROXY_AUTH_PORT=3129
export KORVA_PROXY_LOG=$proxy_root/tinyproxy.log
export KORVA_PROXY_AUTH_LOG=$proxy_root/tinyproxy-auth.log
export KORVA_PAC_PATH=/proxy/korva.pac

# The proxies' own view of names: what the tests start from, whatever they do
# to KORVA_HOSTS later.
cp /etc/hosts "$proxy_root/proxy-hosts"
export KORVA_HOSTS=$proxy_root/hosts
export KORVA_HOSTS_ORIGINAL=$proxy_root/hosts.original
cp /etc/hosts "$KORVA_HOSTS"
cp /etc/hosts "$KORVA_HOSTS_ORIGINAL"
mount --bind "$KORVA_HOSTS" /etc/hosts
sandbox_cleanups+=("umount /etc/hosts")

proxy_config() { # port log [extra lines]
  cat <<EOF2
Port $1
Listen 127.0.0.1
Timeout 30
Allow 127.0.0.1
ConnectPort 443
ConnectPort $KORVA_UNTRUSTED_PORT
MaxClients 16
LogFile "$2"
LogLevel Connect
DisableViaHeader Yes
${3:-}
EOF2
}
proxy_config "$KORVA_PROXY_PORT" "$KORVA_PROXY_LOG" >"$proxy_root/tinyproxy.conf"
proxy_config "$KORVA_PROXY_AUTH_PORT" "$KORVA_PROXY_AUTH_LOG" "BasicAuth korva secret" >"$proxy_root/tinyproxy-auth.conf"
touch "$KORVA_PROXY_LOG" "$KORVA_PROXY_AUTH_LOG"

proxy_start() { # name port
  # A nested mount namespace gives the proxy its own /etc/hosts.
  unshare --mount --propagation private -- sh -c 'mount --bind "$1" /etc/hosts && exec tinyproxy -d -c "$2"' _ \
    "$proxy_root/proxy-hosts" "$proxy_root/$1.conf" >>"$proxy_root/$1.out" 2>&1 &
  sandbox_cleanups+=("kill $!; wait $! 2>/dev/null")
  release_wait_for_port "$2" $! || { cat "$proxy_root/$1.out" >&2; exit 1; }
}
proxy_start tinyproxy "$KORVA_PROXY_PORT"
proxy_start tinyproxy-auth "$KORVA_PROXY_AUTH_PORT"
