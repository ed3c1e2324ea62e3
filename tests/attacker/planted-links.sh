#!/usr/bin/env bash
# A local user (uid 12345) watches /tmp while the launcher suite and the
# demo run as root, and plants links and text wherever it can write: links
# named as the files the tests and the tour read or write, pointing at a
# root-owned victim file or at a bait file of its own, and every folder it
# can move swapped for a link to the victim's folder. Afterwards the victim
# must be unchanged, the bait unread, and the tour's output free of the
# victim's text, the bait's and raw control characters.
#
#   tests/attacker/planted-links.sh BUILD_DIR
#
# Runs in a /tmp of its own (scripts/private-tmp.sh), shared only by the
# watcher and the runs it attacks.
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "planted-links.sh: must run as root" >&2; exit 2; }
build=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
if [ "${PLANTED_LINKS_INSIDE:-}" != 1 ]; then
  export PLANTED_LINKS_INSIDE=1
  BUILD_DIR=$build exec "$root/scripts/private-tmp.sh" "$0" "$build"
fi
failures=()
fail() { echo "planted-links.sh: $*" >&2; failures+=("$*"); }
attacker=12345

# The victim: root's file, in root's folder.
vault=$(mktemp -d /tmp/vault-XXXXXX)
victim=$vault/report
mark="victim-$RANDOM$RANDOM"
echo "$mark" > "$victim"
chmod 600 "$victim"
before=$(sha256sum < "$victim")

# The attacker's own folder: the bait (what root must never read) and the
# text meant for root's terminal. The bait's access time lies before its
# change time, so that any read moves it (relatime).
lair=$(mktemp -d /tmp/lair-XXXXXX)
chmod 711 "$lair"
bait=$lair/bait
bait_mark="bait-$RANDOM$RANDOM"
echo "$bait_mark" > "$bait"
printf '\033]0;owned\007\033[2Jplanted %s\n' "$bait_mark" > "$lair/text"
chmod 644 "$bait" "$lair/text"
touch -a -d '2 days ago' "$bait"
chown -R "$attacker:$attacker" "$lair"
bait_atime=$(stat -c %X "$bait")

names=(report results stdout stderr cmd gui control mask r0 go go.ready)
# The attacker's program (tests/cpp/launch_probe/link_planter.cpp), from
# where it can run it.
cp "$build/bin/link_planter" "$lair/"
chown "$attacker:$attacker" "$lair/link_planter"
log=$lair/log
setpriv --reuid=$attacker --regid=$attacker --clear-groups \
  "$lair/link_planter" "$log" "$victim" "$vault" "$lair/text" "${names[@]}" &
watcher=$!
trap 'kill "$watcher" 2> /dev/null || true' EXIT
for _ in $(seq 100); do grep -q '^watching' "$log" 2> /dev/null && break; sleep 0.1; done

echo "planted-links.sh: the launcher suite, attacked"
status=0
"$root/tests/java/run-junit.sh" "$build" -- --select-package com.zelt.tests.launch > "$vault/suite.log" 2>&1 ||
  status=$?
tail -n 15 "$vault/suite.log"
[ "$status" = 0 ] || fail "the launcher suite failed (exit $status) under attack"

echo "planted-links.sh: the guided tour, attacked"
status=0
NISPLUSD=$build/bin/nisplusd "$root/tests/sandbox/sandbox.sh" --yp --nisplus "$root/tests/nisplus/seed.nis" \
  --xvfb -- java -Dzelt.native.dir="$build/lib" -Dzelt.demo.screenshot="$vault/screenshot.png" \
  -cp "$build/java/classes" com.zelt.demo.GuidedTour > "$vault/tour.log" 2>&1 || status=$?
kill -0 "$watcher" || fail "the watcher did not last"
kill "$watcher" 2> /dev/null || true
wait "$watcher" 2> /dev/null || true
sed -n '/Start programs as another user/,/A graphical program/p' "$vault/tour.log"
[ "$status" = 0 ] || fail "the tour failed (exit $status) under attack"

planted=$(grep -c -v '^watching' "$log" || true)
echo "planted-links.sh: the watcher planted $planted times, in: $(grep -v '^watching' "$log" |
  sed 's/^[a-z]* //; s|/[^/]*$||' | sort -u | tr '\n' ' ')"
grep -q '^watching /tmp' "$log" || fail "the watcher never watched /tmp"
[ "$(sha256sum < "$victim")" = "$before" ] || fail "the victim was changed: $(head -c 120 "$victim" | tr '\n' ' ')"
[ "$(stat -c %X "$bait")" = "$bait_atime" ] || fail "the bait was read"
! grep -q -e "$mark" "$vault/tour.log" || fail "the tour showed the victim's text"
! grep -q -e "$bait_mark" "$vault/tour.log" || fail "the tour showed the attacker's text"
! grep -q $'\033' "$vault/tour.log" || fail "the tour printed raw control characters"
[ ${#failures[@]} = 0 ] || exit 1
echo "planted-links.sh: victim unchanged, nothing planted was read"
