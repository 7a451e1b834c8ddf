#!/bin/sh
# The status probe against a filtered port (connection requests dropped, no
# answer at all): runs the ProbeDrop unit test inside a network namespace of
# its own whose loopback drops TCP SYNs to one port, so the host's firewall
# and network are never touched. Needs root, iproute2 and iptables (nft is
# tried when iptables cannot filter). Exits 77 (skipped) when the machine
# cannot give it a namespace with such a rule.
# Usage: probe_drop.sh path/to/launcher_unit_tests
set -u
tests=${1:?usage: probe_drop.sh path/to/launcher_unit_tests}
port=47913
ns=launcher-probe-$$

skip() { echo "probe_drop skipped: $*"; exit 77; }

[ "$(id -u)" = 0 ] || skip "needs root to create a network namespace"
command -v ip >/dev/null 2>&1 || skip "ip (iproute2) is not installed"
ip netns add "$ns" 2>/dev/null || skip "cannot create a network namespace here"
trap 'ip netns del "$ns" 2>/dev/null' EXIT
trap 'exit 1' INT TERM

inside() { ip netns exec "$ns" "$@"; }

inside ip link set lo up || skip "cannot bring up loopback in the namespace"
if ! inside iptables -A INPUT -p tcp -d 127.0.0.1 --dport "$port" --syn -j DROP 2>/dev/null; then
  inside nft add table ip probe 2>/dev/null &&
    inside nft add chain ip probe input '{ type filter hook input priority 0; }' 2>/dev/null &&
    inside nft add rule ip probe input ip daddr 127.0.0.1 tcp dport "$port" tcp flags syn drop 2>/dev/null ||
    skip "neither iptables nor nft can filter inside the namespace"
fi

output=$(inside env PROBE_DROPPED_PORT="$port" "$tests" --gtest_filter='ProbeDrop.*' 2>&1)
status=$?
echo "$output"
[ "$status" = 0 ] || exit 1
# A renamed or skipped test would pass silently otherwise.
echo "$output" | grep -q '^\[       OK \] ProbeDrop\.' || { echo "probe_drop: the ProbeDrop test did not run"; exit 1; }
