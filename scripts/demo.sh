#!/usr/bin/env bash
# `make demo`: the helper serving a signed client in a sandbox root, narrated on the terminal.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
bin=$build/bin
digits=$(sed -n 's/^QV_LABEL_DIGITS:STRING=//p' "$build/CMakeCache.txt")
team=$(sed -n 's/^QV_TEAM_ID:STRING=//p' "$build/CMakeCache.txt")
service=com.trellwick.quorvix-qv-$digits.Helper
identifier=com.trellwick.quorvix-qv-$digits

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

root=$(mktemp -d /tmp/quorvix-demo-XXXXXX)
chmod 755 "$root"
activator=
cleanup() {
  [ -n "$activator" ] && kill "$activator" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

say "A sandbox system root at $root"
mkdir -p "$root"/{Applications,Library/LaunchDaemons,Library/LaunchAgents,Library/PrivilegedHelperTools} \
  "$root"/{etc/codesign,var/log,var/run,var/db,usr/local/bin,Volumes,tmp/qv_shm/qv}
export QUORVIX_SYSTEM_ROOT=$root
echo "QUORVIX_SYSTEM_ROOT=$root: every fixed path the helper uses lies below it."

say "A demo certificate authority; its root becomes the trusted anchor"
"$top/scripts/make-demo-pki.sh" "$root/pki" "$team"
cp "$root/pki/root.pem" "$root/etc/codesign/anchors.pem"
echo "leaf: $(openssl x509 -in "$root/pki/leaf.pem" -noout -subject)"

say "The client, signed as the application ($identifier)"
app=$root/Applications/Quorvix.app/Contents/MacOS
mkdir -p "$app"
cp "$bin/quorvix-helperctl" "$app/quorvix-helperctl"
show "$bin/qv-codesign" sign --identifier "$identifier" --key "$root/pki/leaf.key" --cert "$root/pki/leaf.pem" \
  --chain "$root/pki/intermediate.pem" "$app/quorvix-helperctl"
show "$bin/qv-codesign" display "$app/quorvix-helperctl"

say "systemd-socket-activate holds the service socket and starts the helper on the first connection"
socket=$root/var/run/$service
systemd-socket-activate --seqpacket -l "$socket" -E QUORVIX_SYSTEM_ROOT="$root" "$bin/quorvix-helper" &
activator=$!
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
chmod 666 "$socket"
echo "listening on $socket; the helper is started by the first connection"

say "The signed client asks for the helper's version"
show "$app/quorvix-helperctl" version
echo "helper process: $(pgrep -x quorvix-helper || pgrep -x quorvix || echo none)"

say "An unsigned copy of the same client is refused (exit status 3)"
cp "$bin/quorvix-helperctl" "$root/usr/local/bin/quorvix-helperctl"
set +e
show "$root/usr/local/bin/quorvix-helperctl" version
echo "exit status $?"
set -e

say "Stand-ins for launchd's tool: /bin/launchctl under the root only logs its calls"
mkdir -p "$root/bin"
cat > "$root/bin/launchctl" <<SCRIPT
#!/bin/sh
echo "launchctl \$*" >> "$root/var/log/tools.log"
SCRIPT
chmod 755 "$root/bin/launchctl"
echo "calls are logged to $root/var/log/tools.log"

say "A service job file for the namespace demo, installed by hand and disabled"
job=$root/Library/LaunchDaemons/com.trellwick.demo.service.plist
cat > "$job" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
  <key>Label</key><string>com.trellwick.demo.service</string>
  <key>Disabled</key><true/>
  <key>RunAtLoad</key><true/>
  <key>UserName</key><string>root</string>
</dict>
</plist>
PLIST
show "$app/quorvix-helperctl" is-installed demo
show "$app/quorvix-helperctl" is-disabled demo

say "Starting the service enables its job file, then bootstraps it into launchd"
show "$app/quorvix-helperctl" start-service demo
show "$app/quorvix-helperctl" is-disabled demo
tail -n 1 "$root/var/log/tools.log"

say "Switching its automatic start off rewrites RunAtLoad"
show "$app/quorvix-helperctl" is-run-at-load demo
show "$app/quorvix-helperctl" set-autostart no demo
show "$app/quorvix-helperctl" is-run-at-load demo
grep -A1 RunAtLoad "$job" | tr -d ' \t\n'; echo

say "Stopping it by its label; a namespace with a hyphen is refused and runs nothing"
show "$app/quorvix-helperctl" quit-service demo
show "$app/quorvix-helperctl" quit-service demo-x
cat "$root/var/log/tools.log"

say "The trace file, $root/var/log/quorvix.trace"
cat "$root/var/log/quorvix.trace"

say "The helper ends itself about 10 seconds after its last client left"
start=$(date +%s)
while kill -0 "$activator" 2>/dev/null; do sleep 0.5; done
wait "$activator" && status=0 || status=$?
activator=
echo "the helper exited with status $status after $(( $(date +%s) - start )) more seconds"
tail -n 2 "$root/var/log/quorvix.trace"
