#!/bin/sh
# Compares the syslog engine with a large rule table against an earlier
# build, in one run on one machine: syslog_load offers 1,000 rules' worth
# of datagrams (10% matching, each naming one rule) to hwhost with each
# plug-in in turn,
#   base     the plug-in of the earlier build (the first argument);
#   sensor   this build's plug-in;
# at a rate below what either takes (its processor time per datagram is
# the figure) and at one far above it (the datagrams each handled a second
# of sending is the figure), over several rounds whose order changes from
# round to round, and prints the figures side by side with their medians.
# Both run under this build's hwhost, so only the engines differ.  It
# brings the release build up to date first; it needs root (a private
# network namespace).  The machine should be quiet.
#
#   bench/syslog_rules_compare.sh BASE_PLUGIN [syslog_load options, e.g.
#                                 --rounds 7 --rates 100000,1500000]
#
# BASE_PLUGIN is libhostwarden.so of the earlier build, for instance
#   git worktree add /tmp/base COMMIT && cd /tmp/base &&
#   cmake --preset release && cmake --build --preset release --target hostwarden
#   -> /tmp/base/build/release/bin/libhostwarden.so
set -eu
if [ $# -lt 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 BASE_PLUGIN [syslog_load options]" >&2
    exit 2
fi
base_plugin=$1
shift
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${HW_RELEASE_BUILD:-$source_dir/build/release}
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
    (cd "$source_dir" && cmake --preset release >/dev/null)
fi
cmake --build "$build_dir" --target syslog_load hwhost hostwarden >/dev/null
exec "$build_dir/bench/syslog_load" --rules 1000 --matching 10 --seconds 5 --rounds 5 --senders 6 \
    --rates 100000,1000000 \
    --plugin base="$base_plugin" \
    --plugin sensor= \
    "$@"
