# Sourced by sandbox.sh: a private X display for the window tests, and Wine's
# virtual desktop on it, so top-level windows get a frame (there is no window
# manager) and a screenshot of the root window shows what a user sees.
#
# Isolation from other sandboxes on the machine: the abstract X socket lives
# in this network namespace, the path socket in a tmpfs of this mount
# namespace, and -nolock keeps Xvfb off the shared /tmp/.X<n>-lock (a lock
# from another PID namespace would look stale and be taken over).

mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
Xvfb :99 -screen 0 1280x800x24 -nolisten tcp -nolock -displayfd 3 \
  3>"$KORVA_SANDBOX/xvfb.ready" >"$KORVA_SANDBOX/xvfb.log" 2>&1 &
korva_xvfb_pid=$!
# Wine first: explorer.exe complains loudly when its display goes away.
sandbox_cleanups+=("wineserver -k >/dev/null 2>&1; kill $korva_xvfb_pid 2>/dev/null; wait $korva_xvfb_pid 2>/dev/null")
for _ in $(seq 100); do
  [ -s "$KORVA_SANDBOX/xvfb.ready" ] && break
  kill -0 "$korva_xvfb_pid" 2>/dev/null || break
  sleep 0.05
done
if ! [ -s "$KORVA_SANDBOX/xvfb.ready" ]; then
  echo "20-display: Xvfb did not start:" >&2
  cat "$KORVA_SANDBOX/xvfb.log" >&2
  exit 1
fi
export DISPLAY=:99

# Read when the wineserver restarts after the hooks. Room for the window at
# 200% (1080x450), which a smaller desktop would cut to its own width.
#
# Japanese, Chinese and Korean need glyphs that Wine's Tahoma, the UI font,
# lacks: as Windows links its UI font to a CJK font, Tahoma is linked to
# WenQuanYi Micro Hei (fonts-wqy-microhei, found through fontconfig). The
# file has no byte-order mark, so Wine reads its hex(7) list as ANSI bytes.
cjk_link=$(python3 -c 'print(",".join("%02x" % b for b in b"wqy-microhei.ttc,WenQuanYi Micro Hei\0\0"))')
cat >"$KORVA_SANDBOX/desktop.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1280x800"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink]
"Tahoma"=hex(7):$cjk_link
REG
timeout 60 wine reg import "Z:${KORVA_SANDBOX//\//\\}\\desktop.reg" >/dev/null 2>&1

# Wine looks for its own fonts (fonts-wine) in its data folder, which
# Debian's wine 8 reaches as /usr/lib/wine/../../share/wine and never scans;
# without Marlett the caption buttons show the letters "0 1 r". Fonts in the
# prefix's Fonts folder are always loaded.
if [ -d /usr/share/wine/fonts ]; then
  cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/"
fi
