#!/usr/bin/env bash
# `make demo`: the helper serving a signed client in a sandbox root, narrated on the terminal.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${QV_BUILD_DIR:-$top/build}
# shellcheck source=lib/sandbox.sh
. "$top/scripts/lib/sandbox.sh"

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
# Runs a command as typed; a status other than 0 (NO is 1, a refusal 3) is shown, not fatal.
show() { printf '$ %s\n' "$*"; "$@" || echo "(exit status $?)"; }

root=$(mktemp -d /tmp/quorvix-demo-XXXXXX)
activator=
cleanup() {
  [ -n "$activator" ] && kill "$activator" 2>/dev/null || true
  rm -rf "$root"
}
trap cleanup EXIT

say "A sandbox system root at $root"
sandbox_create "$root"
export QUORVIX_SYSTEM_ROOT=$root
echo "QUORVIX_SYSTEM_ROOT=$root: every fixed path the helper uses lies below it."
echo "Stand-ins for the system tools under the root log each call to $root/var/log/quorvix-stand-ins.log;"
echo "chmod and chown are the real ones, and ps lists only the processes that run from inside the sandbox."

say "A demo certificate authority; its root becomes the trusted anchor"
sandbox_pki "$root"
echo "leaf: $(openssl x509 -in "$root/pki/leaf.pem" -noout -subject)"

say "The client, signed as the application ($identifier)"
# Outside /Applications: the install below replaces what lies there.
app=$root/usr/local/libexec
mkdir -p "$app"
# A signed client can make every request that needs no right: only root may read or run this copy.
install -m 0700 "$bin/quorvix-helperctl" "$app/quorvix-helperctl"
show "$bin/qv-codesign" sign --identifier "$identifier" --key "$root/pki/leaf.key" --cert "$root/pki/leaf.pem" \
  --chain "$root/pki/intermediate.pem" "$app/quorvix-helperctl"
show "$bin/qv-codesign" display "$app/quorvix-helperctl"

say "systemd-socket-activate holds the service socket and starts the helper on the first connection"
socket=$root/var/run/$service
# Its own chatter goes to a log; the helper's warnings (stderr) with it.
systemd-socket-activate --seqpacket -l "$socket" -E QUORVIX_SYSTEM_ROOT="$root" "$bin/quorvix-helper" \
  2>> "$root/var/log/helper.log" &
activator=$!
for _ in $(seq 100); do [ -S "$socket" ] && break; sleep 0.05; done
chmod 666 "$socket"
echo "listening on $socket; the helper is started by the first connection"

say "The signed client asks for the helper's version"
show "$app/quorvix-helperctl" version
echo "helper process: $(ps -o pid=,comm= -p "$activator")"

say "An unsigned copy of the same client is refused (exit status 3)"
cp "$bin/quorvix-helperctl" "$root/usr/local/bin/quorvix-helperctl"
show "$root/usr/local/bin/quorvix-helperctl" version

say "A user's client: the signed client installed root's, group quorvix-client, mode 2755, run by nobody"
# The kernel grants the group only on a clean exec, which also keeps every other process of the user out of
# the client: so the helper serves a user's process only in that group.
users_client=$root/usr/local/bin/quorvix-helperctl-for-users
install -o root -g quorvix-client -m 2755 "$app/quorvix-helperctl" "$users_client"
ls -l "$users_client" | sed "s|$root||"
show setpriv --reuid=nobody --regid=nogroup --clear-groups "$users_client" version

say "The same signed client copied without the bit is refused for nobody (exit status 3), without a record"
install -m 0755 "$app/quorvix-helperctl" "$root/usr/local/bin/quorvix-helperctl-without-the-bit"
show setpriv --reuid=nobody --regid=nogroup --clear-groups "$root/usr/local/bin/quorvix-helperctl-without-the-bit" version
echo "under no_new_privs, traced or with connections made before its exec it would be refused alike"

say "A signed sample application on the mounted image $root/Volumes/Quorvix"
image_app=$root/Volumes/Quorvix/Quorvix.app
config=$root/Users/demo/config
sandbox_sample_app "$root"
find "$image_app" -type f | sed "s|$root||"
echo "its configuration: $(ls "$config" | tr '\n' ' ')"

say "The application installs itself: copied into /Applications, given to root, job files written, started"
show "$app/quorvix-helperctl" install --bundle "$image_app" --sysconfig "$config" --namespace quorvix_demo
ls -l "$root/Applications" | tail -n +2
echo "its executable, verified and made a client that users may run:"
ls -l "$root/Applications/Quorvix.app/Contents/MacOS/Quorvix" | sed "s|$root||"
echo "global configuration: $(ls "$root/etc/quorvix_demo" | tr '\n' ' ')"
sleep 0.3
cat "$root/tmp/quorvix-app.log" 2>/dev/null || echo "(the application has not written its log yet)"

say "Its job files: the service (a daemon running as root) and the per-login agent"
for job in "$root"/Library/LaunchDaemons/com.trellwick.quorvix_demo.service.plist \
           "$root"/Library/LaunchAgents/com.trellwick.quorvix_demo.Frontend.plist; do
  echo "--- ${job#$root}"
  cat "$job"
done

say "The service is started and queried; its automatic start is switched off"
show "$app/quorvix-helperctl" is-installed quorvix_demo
show "$app/quorvix-helperctl" start-service quorvix_demo
show "$app/quorvix-helperctl" is-disabled quorvix_demo
show "$app/quorvix-helperctl" set-autostart no quorvix_demo
show "$app/quorvix-helperctl" is-run-at-load quorvix_demo
show "$app/quorvix-helperctl" quit-service quorvix_demo
echo "a namespace with a hyphen is refused and runs nothing:"
show "$app/quorvix-helperctl" quit-service demo-x

say "The application is uninstalled: processes ended, service booted out, job files and bundle removed"
show "$app/quorvix-helperctl" uninstall --bundle "$root/Applications/Quorvix.app" --namespace quorvix_demo
show "$app/quorvix-helperctl" is-installed quorvix_demo
echo "left in /Applications: $(ls "$root/Applications" | wc -l) entries; job files: $(ls "$root"/Library/Launch*/ | grep -c quorvix_demo || true)"

say "What the system tools were asked to do"
cat "$root/var/log/quorvix-stand-ins.log"

say "The trace file, $root/var/log/quorvix.trace: its warnings and errors, and its last records"
grep -E '^ *(warning|error) ' "$root/var/log/quorvix.trace" || echo "(none)"
echo "..."
tail -n 12 "$root/var/log/quorvix.trace"

say "The helper ends itself about 10 seconds after its last client left"
start=$(date +%s)
while kill -0 "$activator" 2>/dev/null; do sleep 0.5; done
wait "$activator" && status=0 || status=$?
activator=
echo "the helper exited with status $status after $(( $(date +%s) - start )) more seconds"
tail -n 2 "$root/var/log/quorvix.trace"
