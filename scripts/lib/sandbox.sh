# Shared by scripts/sandbox and scripts/demo.sh: a sandbox system root with stand-in tools, a demo
# certificate authority whose root it trusts, signed code, and the helper started on demand in it.
# Source it after setting `top` (the source tree) and `build` (the build tree).

bin=$build/bin
digits=$(sed -n 's/^QV_LABEL_DIGITS:STRING=//p' "$build/CMakeCache.txt")
team=$(sed -n 's/^QV_TEAM_ID:STRING=//p' "$build/CMakeCache.txt")
service=com.trellwick.quorvix-qv-$digits.Helper
identifier=com.trellwick.quorvix-qv-$digits

# sandbox_create ROOT: the directories the helper expects, and stand-ins for its tools.
sandbox_create() {
  local root=$1
  chmod 755 "$root"
  mkdir -p "$root"/{Applications,Library/LaunchDaemons,Library/LaunchAgents,Library/PrivilegedHelperTools} \
    "$root"/{etc/codesign,var/log,var/run,var/db,usr/local/bin,usr/local/sbin,Volumes,tmp/qv_shm/qv,Users}
  "$top/scripts/stand-in-tools" "$root" > /dev/null
}

# sandbox_pki ROOT: a demo root, intermediate and leaf in ROOT/pki; the root becomes the trusted anchor.
sandbox_pki() {
  local root=$1
  "$top/scripts/make-demo-pki.sh" "$root/pki" "$team"
  cp "$root/pki/root.pem" "$root/etc/codesign/anchors.pem"
}

# sandbox_sign FILE: signs FILE as the application with the sandbox's leaf (ROOT from QUORVIX_SYSTEM_ROOT).
sandbox_sign() {
  "$bin/qv-codesign" sign --identifier "$identifier" --key "$QUORVIX_SYSTEM_ROOT/pki/leaf.key" \
    --cert "$QUORVIX_SYSTEM_ROOT/pki/leaf.pem" --chain "$QUORVIX_SYSTEM_ROOT/pki/intermediate.pem" "$1"
}

# sandbox_sample_app ROOT: a signed application bundle on the mounted image ROOT/Volumes/Quorvix, and a
# user's configuration in ROOT/Users/demo/config.
sandbox_sample_app() {
  local root=$1 app=$1/Volumes/Quorvix/Quorvix.app
  mkdir -p "$app/Contents/MacOS" "$root/Users/demo/config"
  cat > "$app/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>CFBundleIdentifier</key><string>$identifier</string>
  <key>CFBundleShortVersionString</key><string>2.26.0</string>
</dict>
</plist>
PLIST
  cat > "$app/Contents/MacOS/Quorvix" <<SCRIPT
#!/bin/sh
echo "Quorvix started from \$0 as \$(id -un)" >> "$root/tmp/quorvix-app.log"
exit 0
SCRIPT
  chmod 755 "$app/Contents/MacOS/Quorvix"
  sandbox_sign "$app/Contents/MacOS/Quorvix" > /dev/null
  echo "listen = 5938" > "$root/Users/demo/config/system.conf"
  echo "autostart = yes" > "$root/Users/demo/config/service.conf"
}

# sandbox_listen ROOT: as systemd does for the socket unit, holds the service socket and starts the helper
# at the first connection, again after each idle exit while ROOT exists. Its output goes to
# ROOT/var/log/helper.log; prints the pid of the loop.
sandbox_listen() {
  local root=$1 socket=$1/var/run/$service
  setsid bash -c '
    while [ -d "$1" ]; do
      systemd-socket-activate --seqpacket -l "$2" -E QUORVIX_SYSTEM_ROOT="$1" "$3" || sleep 1
    done' sandbox-listener "$root" "$socket" "$bin/quorvix-helper" >> "$root/var/log/helper.log" 2>&1 < /dev/null &
  local loop=$!
  for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
  echo "$loop"
}
