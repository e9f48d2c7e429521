#!/bin/sh
# Compares the syslog engine's receive with the receives of earlier sensors,
# in one run on one machine: syslog_load offers 100 rules' worth of
# datagrams (10% matching) at a series of rates to hwhost with each of
#   sensor         this build's plug-in (batches of datagrams, the system's
#                  drop count read once per batch at most);
#   recvfrom       one datagram per system call, no drop count;
#   recvmsg+count  one datagram per system call with the drop count on
#                  every datagram (a control message);
# over several rounds, and prints side by side what each lost at every
# rate and its highest rate without loss there or below, among the rates
# its four sending threads reached (a rate they did not reach gets no
# verdict: one thread alone stops near 150-275k datagrams a second).  It
# brings the
# release build up to date first; it needs root (a private network
# namespace).  The machine should be quiet: other load shows as loss.
#
#   bench/syslog_receive_compare.sh [syslog_load options, e.g. --rounds 5
#                                    --rates 250000,300000,350000]
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target syslog_load hwhost hostwarden >/dev/null
bin_dir=$build_dir/bin
exec "$build_dir/bench/syslog_load" --rules 100 --matching 10 --seconds 5 --rounds 3 --senders 4 \
    --rates 200000,250000,300000,350000,400000,450000,500000,550000,600000,650000,700000,800000,900000,1000000 \
    --plugin sensor= \
    --plugin recvfrom="$bin_dir/libhostwarden-receive-recvfrom.so" \
    --plugin recvmsg+count="$bin_dir/libhostwarden-receive-dropcount.so" \
    "$@"
