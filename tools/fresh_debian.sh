#!/usr/bin/env bash
# The README's two set-up commands, exactly as they stand, on a fresh minimal
# Debian 12 root that has only git added: a newcomer's machine. A machine
# that already has a package hides a command that forgets to install it;
# this one has none of them. Fails when either command fails, or when the
# test command skips a test or leaves one out.
#
#   bash tools/fresh_debian.sh [PROJECT_DIR]    # default: this clone
#
# Needs root and Debian's package mirror (and the npm registry, which the
# tests reach for xterm.js). The commands are the first two ```sh blocks under
# the README's "Set up" heading, run in a fresh clone of PROJECT_DIR's
# committed HEAD with a clean environment (no locale either), save CI=true:
# the build then requires every optional tool rather than leaving its tests
# out. The root reaches the network as this machine does: its resolver, its
# proxy variables, and the certificate authorities added locally under
# /usr/local/share/ca-certificates (a network that intercepts TLS needs
# them). The base root is kept in $FRESH_CACHE (default ~/.cache/fresh-debian);
# the commands' logs go to $FRESH_LOGS (default build/fresh-debian in
# PROJECT_DIR).
set -euo pipefail
proj=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cache=${FRESH_CACHE:-$HOME/.cache/fresh-debian}
logs=${FRESH_LOGS:-$proj/build/fresh-debian}
say() { echo "fresh_debian: $*"; }
[[ $(id -u) -eq 0 ]] || { say "needs root (chroot and mounts)"; exit 2; }
command -v mmdebstrap >/dev/null || { say "needs mmdebstrap (apt-get install mmdebstrap)"; exit 2; }
mkdir -p "$cache" "$logs"

# The base root, made once: written under another name, then renamed, so
# that two runs at once never read half of one (mmdebstrap takes the format
# from the name's extension: .tar).
base="$cache/bookworm-minbase-git.tar"
if [[ ! -f $base ]]; then
  say "making a minimal Debian 12 root (once; kept in $cache)"
  mmdebstrap --variant=minbase --include=git,ca-certificates bookworm "$cache/new-$$.tar" \
    >"$logs/mmdebstrap.log" 2>&1 ||
    { rm -rf "$cache/new-$$.tar"; say "mmdebstrap failed: see $logs/mmdebstrap.log"; exit 2; }
  mv "$cache/new-$$.tar" "$base"
fi

root=$(mktemp -d)
cleanup() {
  for m in dev/pts dev proc; do
    umount "$root/$m" 2>/dev/null || umount -l "$root/$m" 2>/dev/null || true
  done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
tar -xf "$base" -C "$root"
git clone -q "$proj" "$root/root/project"
mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"
mount -t devpts devpts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf"
if compgen -G '/usr/local/share/ca-certificates/*.crt' >/dev/null; then
  cp /usr/local/share/ca-certificates/*.crt "$root/usr/local/share/ca-certificates/"
  chroot "$root" update-ca-certificates >"$logs/ca-certificates.log" 2>&1
fi
network=()
for name in http_proxy https_proxy no_proxy HTTP_PROXY HTTPS_PROXY NO_PROXY NODE_EXTRA_CA_CERTS; do
  if [[ -n ${!name:-} ]]; then network+=("$name=${!name}"); fi
done

# The commands, from the README as committed.
python3 - "$root/root/project/README.md" "$root/root" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
m = re.search(r'^## *Set ?up[^\n]*\n(.*?)(?=^## )', text, re.S | re.M | re.I)
if not m:
    sys.exit("fresh_debian: the README has no Set up section")
blocks = [b for b in re.findall(r'```sh\n(.*?)```', m.group(1), re.S) if b.strip()][:2]
if len(blocks) < 2:
    sys.exit("fresh_debian: the README's Set up section has fewer than two sh blocks")
for i, block in enumerate(blocks, 1):
    open(f"{sys.argv[2]}/cmd{i}.sh", "w").write(block)
    print(f"fresh_debian: command {i}: {block.strip()}")
PY

run() {  # run N: command N in the root, as a newcomer's login shell would
  env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin CI=true \
    "${network[@]}" chroot "$root" /bin/bash -c "cd /root/project && bash -e /root/cmd$1.sh" \
    >"$logs/cmd$1.log" 2>&1 </dev/null
}
start=$SECONDS
status=0
run 1 || { say "the demo command failed (exit $?): see $logs/cmd1.log"; status=1; }
say "demo command done after $((SECONDS - start)) s"
run 2 || { say "the test command failed (exit $?): see $logs/cmd2.log"; status=1; }
say "test command done after $((SECONDS - start)) s"
summary=$(grep -E 'tests passed|tests failed' "$logs/cmd2.log" | tail -n 1 || true)
say "${summary:-no test summary in $logs/cmd2.log}"
[[ -n $summary ]] || status=1
if grep -E '\*\*\*Skipped|\[  SKIPPED \]|tests did not run|Not Run' "$logs/cmd2.log"; then
  say "tests were skipped or did not run on a fresh machine (above; see $logs/cmd2.log)"
  status=1
fi
exit $status
