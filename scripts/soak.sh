#!/usr/bin/env bash
# Soak: the runner in real time under steady load for a given time, watched
# once a minute. Load: a zok2line peer on each serial line (BAC-M master on
# line 1, RAWoS on lines 2 and 3) and the hosts on both links exchanging
# messages with them, and 500 datagrams/s into each Ethernet interface.
# Every minute: the runner's RSS and open descriptors (from /proc), the free
# BDs (console, Other page, BD pool), and the messages each party received.
# Fails when the RSS grows past the first minute's by more than RSS_SLACK_KB,
# the descriptors change, the free BDs fall below POOL_LOW, a party's message
# count stops moving, the runner dies, or the pool is not full once idle.
# Usage: scripts/soak.sh [MINUTES] (default 30); build first (make build).
# GWARGS adds runner options (for example GWARGS="--tick-offset 4294000000").
set -u
MINUTES=${1:-30}
BUILD=${BUILD:-build/host-debug}
RSS_SLACK_KB=${RSS_SLACK_KB:-2048}
POOL_LOW=${POOL_LOW:-64}
GW=$BUILD/zok2gw
TOOLS=$BUILD/tools
DIR=$(mktemp -d /tmp/zok2soak.XXXXXX)
PIDS=()
cleanup() {
    for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT
die() { echo "soak: FAIL: $*"; exit 1; }

# shellcheck disable=SC2086
"$GW" --run-dir "$DIR" --console pty --watchdog exit ${GWARGS:-} >"$DIR/gw.out" 2>"$DIR/gw.err" &
GWPID=$!
PIDS+=($GWPID)
for _ in $(seq 100); do grep -q "host link 2" "$DIR/gw.err" 2>/dev/null && break; sleep 0.1; done
[ -e "$DIR/console" ] || die "runner did not start: $(cat "$DIR/gw.err")"
exec 3<>"$DIR/console"
stty -F "$DIR/console" raw -echo 2>/dev/null
cat <&3 >"$DIR/console.log" &
PIDS+=($!)

configure() {  # link, then options
    local link=$1
    shift
    "$TOOLS/zok2host" --link "unix:$DIR/$link.sock" configure --wait 1500 "$@" >>"$DIR/config.log" 2>&1 ||
        die "configuration on $link: $(tail -5 "$DIR/config.log")"
}
configure spi1 --mask 255.255.255.0 --gateway 127.91.0.1 --address 127.91.0.2 --port 2000 \
    --line1 rs232:bacm:115200:none --line2 rs232:rawos:115200:none:16 --bacm-addr 5
configure spi2 --mask 255.255.255.0 --gateway 127.92.0.1 --address 127.92.0.2 --port 5000 \
    --line1 rs485:rawos:115200:none:16

# A line of text every $2 seconds on standard output, numbered.
feed() { local i=0; while :; do echo "$1 $i ................................"; i=$((i + 1)); sleep "$2"; done; }

# Lines: each peer sends to its host; line 3 is half duplex, so it only talks.
feed L1 0.05 | "$TOOLS/zok2line" --device "$DIR/sci1" --protocol bacm --rate 115200 --master --addr 5 \
    --recv-timeout 300 >"$DIR/l1.out" 2>&1 &
PIDS+=($!)
feed L2 0.05 | "$TOOLS/zok2line" --device "$DIR/sci2" --protocol rawos --rate 115200 --gap 16 \
    >"$DIR/l2.out" 2>&1 &
PIDS+=($!)
feed L3 0.05 | "$TOOLS/zok2line" --device "$DIR/sci3" --protocol rawos --rate 115200 --gap 16 \
    >"$DIR/l3.out" 2>&1 &
PIDS+=($!)
# Hosts: host 1 talks to line 1 and 2 through one stream each is not possible
# with one client per link, so host 1 talks to line 1 and host 2 only listens.
feed H1 0.05 | "$TOOLS/zok2host" --link "unix:$DIR/spi1.sock" host --to 10.80.0.1:2010 \
    >"$DIR/h1.out" 2>&1 &
PIDS+=($!)
sleep 100000 | "$TOOLS/zok2host" --link "unix:$DIR/spi2.sock" monitor >"$DIR/h2.out" 2>&1 &
PIDS+=($!)
"$TOOLS/zok2udp" send --to 127.91.0.2:2000 --rate 500 --size 64 --duration 1000000 >"$DIR/u0.out" 2>&1 &
PIDS+=($!)
"$TOOLS/zok2udp" send --to 127.92.0.2:5000 --rate 500 --size 64 --duration 1000000 >"$DIR/u1.out" 2>&1 &
PIDS+=($!)

freeBds() {  # Other page, BD pool; back to the main page
    local before
    before=$(wc -c <"$DIR/console.log")
    printf '\0337' >&3
    sleep 0.3
    printf '1\033' >&3
    sleep 0.7
    tail -c +"$((before + 1))" "$DIR/console.log" | tr -d '\r' | sed -n 's/^Number of free BDs: *//p' | tail -1
}
# Messages each party received so far, told apart by their text or address.
count() { grep -c -- "$2" "$DIR/$1.out"; }
COUNTS=("u0 h1 to 127.91.0.2:2000" "u1 h2 to 127.92.0.2:5000" "l1 h1 \"L1 " "l2 h1 \"L2 "
    "l3 h2 \"L3 " "h1 l1 |H1 ")

echo "soak: $MINUTES min, run folder $DIR"
printf '%-4s %8s %4s %5s %8s %8s %8s %8s %8s %8s\n' min rss_kb fds bds eth0-h1 eth1-h2 l1-h1 l2-h1 \
    l3-h2 h1-l1
rss0=
fds0=
declare -A last
for m in $(seq 1 "$MINUTES"); do
    sleep 60
    kill -0 "$GWPID" 2>/dev/null || die "runner gone: $(tail -5 "$DIR/gw.err")"
    rss=$(awk '/^VmRSS/ {print $2}' "/proc/$GWPID/status")
    fds=$(ls "/proc/$GWPID/fd" | wc -l)
    bds=$(freeBds)
    printf '%-4s %8s %4s %5s' "$m" "$rss" "$fds" "${bds:-?}"
    for c in "${COUNTS[@]}"; do
        read -r from to pattern <<<"$c"
        n=$(count "$to" "$pattern")
        printf ' %8s' "$n"
        [ "$n" -gt "${last[$from]:-0}" ] || die "no messages from $from reached $to in minute $m"
        last[$from]=$n
    done
    echo
    [ -n "$bds" ] || die "console gave no BD pool level"
    [ "$bds" -ge "$POOL_LOW" ] || die "free BDs down to $bds"
    if [ -z "$rss0" ]; then
        rss0=$rss
        fds0=$fds
    fi
    [ "$rss" -le $((rss0 + RSS_SLACK_KB)) ] || die "RSS grew from $rss0 to $rss kB"
    [ "$fds" -eq "$fds0" ] || die "descriptors changed from $fds0 to $fds"
done
# Idle: every BD back in the pool.
for p in "${PIDS[@]:2}"; do kill "$p" 2>/dev/null; done
sleep 3
bds=$(freeBds)
echo "idle: free BDs $bds"
[ "$bds" = 128 ] || die "pool not full once idle: $bds"
echo "soak: PASS after $MINUTES min"
