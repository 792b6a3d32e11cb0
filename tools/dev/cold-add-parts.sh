#!/bin/bash
# The parts of a cold AddDeviceInstance, from kernel events: runs
# `kestrel snapshot` (one cold add on the simulated camera) N times under
# `perf record` and prints, per run, the milliseconds from HostProc's start
# to the first load attempt, HostProc's exec to listen, its confinement,
# the retry sleep and the second attempt until the load's reply.
# Needs perf and tracefs (mount -t tracefs nodev /sys/kernel/tracing).
# usage: tools/dev/cold-add-parts.sh BUILD-DIR [RUNS] [-- PREFIX...]
#   e.g. tools/dev/cold-add-parts.sh build 7 -- taskset -c 0
set -euo pipefail
build=$1
runs=${2:-7}
shift $(($# < 2 ? $# : 2))
[ "${1:-}" = "--" ] && shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
events=sched:sched_process_fork,sched:sched_process_exec,syscalls:sys_enter_connect,syscalls:sys_enter_listen
events=$events,syscalls:sys_exit_seccomp,syscalls:sys_enter_sendmsg
for _ in $(seq "$runs"); do
    perf record -q -o "$work/perf.data" -e "$events" -a -- "$@" "$build/tools/kestrel" snapshot \
        -o "$work/snapshot.jpg" >/dev/null 2>&1
    perf script -i "$work/perf.data" -F comm,pid,time,event,trace 2>/dev/null | python3 -c '
import re, sys
events = []
for line in sys.stdin:
    m = re.match(r"\s*(\S+)\s+(\d+)\s+([\d.]+):\s+(\S+):\s*(.*)", line)
    if m:
        events.append((m[1], int(m[2]), float(m[3]) * 1e3, m[4], m[5]))
app = next(e[1] for e in events if e[0] == "kestrel")
exec_at = next(e[2] for e in events if e[3] == "sched:sched_process_exec" and "HostProc" in e[4])
spawn = [e[2] for e in events if e[3] == "sched:sched_process_fork" and e[1] == app and e[2] < exec_at][-1]
first, second = [e[2] for e in events if e[1] == app and e[3] == "syscalls:sys_enter_connect"][:2]
host = [e for e in events if e[0] == "HostProc"]
listen = next(e[2] for e in host if e[3] == "syscalls:sys_enter_listen")
# The filter install returns the notification descriptor.
confined = next(e[2] for e in host if e[3] == "syscalls:sys_exit_seccomp" and 3 <= int(e[4].split()[-1], 16) < 1024)
reply = [e[2] for e in host if e[3] == "syscalls:sys_enter_sendmsg" and e[2] > second][1]  # after the bind_ack
print(f"start->first attempt {first - spawn:6.2f}  exec->listen {listen - exec_at:6.2f}  "
      f"confinement {confined - listen:5.2f}  sleep {second - first:6.2f}  "
      f"second attempt->load reply {reply - second:5.2f}  total {reply - spawn:6.2f} ms")
' || echo "a run whose trace lost an event"
done
