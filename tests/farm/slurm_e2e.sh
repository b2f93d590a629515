#!/usr/bin/env bash
# End to end on a real one-node Slurm cluster started here: munged with a
# fresh key, slurmctld and slurmd from a generated slurm.conf (no cgroups),
# state and spool in a temporary folder. Submits the default scene with
# lumenar-farm, waits for the merge job and compares the merged image with one
# run of all the frames. Every daemon started here is stopped on the way out,
# whether the test passed or not.
#
# Usage: slurm_e2e.sh RENDER MERGE FARM COMPARE SCENE
# Needs the Debian packages slurm-wlm and munge (tools/install-deps.sh).
set -euo pipefail

render=$1 merge=$2 farm=$3 compare=$4 scene=$5
tasks=4 frames=16
start=$(date +%s)

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

for tool in munged mungekey slurmctld slurmd sbatch squeue scontrol sinfo; do
    command -v "$tool" >/dev/null || fail "$tool is missing: install slurm-wlm and munge (tools/install-deps.sh)"
done

work=$(mktemp -d /tmp/lumenar-slurm.XXXXXX)
chmod 700 "$work"
daemons=()

show_logs() {
    for log in "$work"/*.log "$work"/out/logs/*.log; do
        [ -s "$log" ] || continue
        echo "---- $log (last lines)" >&2
        tail -n 30 "$log" >&2
    done
}

stop_daemons() {
    local status=$?
    trap - EXIT INT TERM
    [ $status -ne 0 ] && show_logs
    # Jobs still queued or running go first, while slurmd can end their steps.
    if [ -n "${render_job:-}" ] || [ -n "${merge_job:-}" ]; then
        scancel ${render_job:-} ${merge_job:-} 2>/dev/null || true
        sleep 1
    fi
    # Newest first: slurmd, slurmctld, then munged. Logs were shown above.
    local i
    for ((i = ${#daemons[@]} - 1; i >= 0; --i)); do
        kill -TERM "${daemons[i]}" 2>/dev/null || true
    done
    for ((i = ${#daemons[@]} - 1; i >= 0; --i)); do
        local pid=${daemons[i]} n=0
        while kill -0 "$pid" 2>/dev/null && [ $n -lt 100 ]; do
            sleep 0.1
            n=$((n + 1))
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
    echo "cluster stopped; $(($(date +%s) - start)) s in all"
    exit $status
}
trap stop_daemons EXIT
trap 'exit 130' INT TERM

# A daemon that has exited ends the test with its own words: its output and
# its log file.
expect_alive() {
    local pid=$1 name=$2 log
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid" || true
        for log in "$work/$name.out" "$work/$name.log"; do
            [ -s "$log" ] || continue
            echo "---- $log:" >&2
            tail -n 40 "$log" >&2
        done
        fail "$name exited (its messages are above)"
    fi
}

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# ---- munge ------------------------------------------------------------------
mungekey --create --bits 1024 --keyfile "$work/munge.key" >"$work/mungekey.log" 2>&1 ||
    { cat "$work/mungekey.log" >&2; fail "mungekey could not make a key"; }
chmod 400 "$work/munge.key"
munged --foreground --force --key-file="$work/munge.key" --socket="$work/munge.socket" \
    --pid-file="$work/munged.pid" --log-file="$work/munged.log" --seed-file="$work/munged.seed" \
    >"$work/munged.out" 2>&1 &
daemons+=($!)
for _ in $(seq 100); do
    [ -S "$work/munge.socket" ] && break
    expect_alive "${daemons[-1]}" munged
    sleep 0.1
done
[ -S "$work/munge.socket" ] || fail "munged made no socket in 10 s"

# ---- slurm.conf ---------------------------------------------------------------
host=$(hostname -s)
# The node as slurmd sees the hardware, without the memory size.
hardware=$(slurmd -C | sed -n 1p | tr ' ' '\n' | grep -E '^(CPUs|Boards|SocketsPerBoard|CoresPerSocket|ThreadsPerCore)=' | tr '\n' ' ')
[ -n "$hardware" ] || fail "slurmd -C did not describe the machine"
mkdir -p "$work/state" "$work/slurmd-spool" "$work/out"
cat >"$work/slurm.conf" <<CONF
ClusterName=lumenar-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$(free_port)
SlurmdPort=$(free_port)
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge.socket
CredType=cred/munge
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/slurmd-spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SwitchType=switch/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SlurmdParameters=config_overrides
ReturnToService=2
SchedulerParameters=sched_interval=2
MinJobAge=600
KillWait=5
SlurmctldTimeout=30
SlurmdTimeout=30
NodeName=lumenar-node NodeHostname=$host NodeAddr=127.0.0.1 $hardware State=UNKNOWN
PartitionName=render Nodes=lumenar-node Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF=$work/slurm.conf

# ---- slurmctld and slurmd -----------------------------------------------------
slurmctld -D -c -i -f "$SLURM_CONF" >"$work/slurmctld.out" 2>&1 &
daemons+=($!)
ctld=$!
for _ in $(seq 100); do
    expect_alive "$ctld" slurmctld
    case "$(scontrol ping 2>/dev/null)" in *UP*) break ;; esac
    sleep 0.2
done
case "$(scontrol ping 2>&1)" in *UP*) ;; *) fail "slurmctld does not answer" ;; esac

slurmd -D -N lumenar-node -f "$SLURM_CONF" >"$work/slurmd.out" 2>&1 &
daemons+=($!)
slurmd_pid=$!
state=""
for _ in $(seq 150); do
    expect_alive "$slurmd_pid" slurmd
    state=$(sinfo -h -n lumenar-node -o %T 2>/dev/null || true)
    case "$state" in idle* | mixed* | allocated*) break ;; esac
    sleep 0.2
done
case "$state" in idle* | mixed* | allocated*) ;; *)
    cat "$work/slurmd.out" >&2
    fail "the node did not come up (state \"$state\")"
    ;;
esac
echo "cluster up after $(($(date +%s) - start)) s: node lumenar-node ($hardware), state $state"

# ---- the farm render ------------------------------------------------------------
submitted=$(python3 "$farm" submit "$scene" --tasks $tasks --frames-per-task $frames --out "$work/out" \
    --bin-dir "$(dirname "$render")" --cpus-per-task 1 --time 20)
echo "$submitted"
[ "$(dirname "$render")" = "$(dirname "$merge")" ] || fail "lumenar-render and lumenar-merge must share a folder"
job_ids() {  # sets render_job and merge_job from lumenar-farm's report
    render_job=$(echo "$1" | sed -n 's/^render job array: \([0-9]*\).*/\1/p')
    merge_job=$(echo "$1" | sed -n 's/^merge job: \([0-9]*\).*/\1/p')
    [ -n "$render_job" ] && [ -n "$merge_job" ] || fail "lumenar-farm printed no job ids"
}

# Waits for the merge job to leave the queue (10 minutes at most); it must
# have completed and written its images into the output folder (default
# $work/out).
wait_for_merge() {
    local left merge_state out=${1:-$work/out}
    for _ in $(seq 600); do
        expect_alive "$ctld" slurmctld
        expect_alive "$slurmd_pid" slurmd
        left=$(squeue -h -j "$merge_job" -o "%T %r" 2>/dev/null || true)
        [ -z "$left" ] && break
        case "$left" in *DependencyNeverSatisfied*) fail "the merge job cannot run: a render task failed" ;; esac
        sleep 1
    done
    merge_state=$(scontrol show job "$merge_job" | sed -n 's/.*JobState=\([A-Z_]*\).*/\1/p')
    echo "merge job $merge_job: $merge_state after $(($(date +%s) - start)) s"
    [ "$merge_state" = COMPLETED ] || fail "the merge job ended ${merge_state:-out of sight}"
    [ -f "$out/merged.exr" ] && [ -f "$out/merged.png" ] || fail "the merge job wrote no merged image"
}

job_ids "$submitted"
wait_for_merge
report=$(python3 "$farm" status "$work/out")
echo "$report"
grep -q "$tasks of $tasks ranges done" <<<"$report" || fail "status does not report every range done"

# A lost range: status names it, resubmit renders it again and merges anew.
rm "$work/out/parts/range-0000000016.exr" "$work/out/merged.exr"
report=$(python3 "$farm" status "$work/out")
grep -q "task 1: frames 17-32 missing" <<<"$report" || fail "status does not name the lost range"
submitted=$(python3 "$farm" resubmit "$work/out")
echo "$submitted"
grep -q "(1 tasks of $frames frames)" <<<"$submitted" || fail "resubmit did not submit exactly the lost range"
job_ids "$submitted"
wait_for_merge

# ---- one run of all frames ---------------------------------------------------------
"$render" "$scene" --frames $((tasks * frames)) --out "$work/reference.png" --hdr "$work/reference.exr" \
    >"$work/reference.log" 2>&1 || { cat "$work/reference.log" >&2; fail "the reference render failed"; }
"$compare" "$work/out/merged.exr" "$work/reference.exr" 1e-5 || fail "the merged image differs from one run"
echo "PASS: $tasks tasks of $frames frames on Slurm merge to the image of one $((tasks * frames))-frame run"

# ---- until a noise target ------------------------------------------------------------
# Two adaptive ranges of at most 48 frames, each stopping at its share of the
# target; the merge job states the merged image's noise.
submitted=$(python3 "$farm" submit "$scene" --tasks 2 --frames-per-task 48 --until 0.45 --out "$work/until" \
    --bin-dir "$(dirname "$render")" --cpus-per-task 1 --time 20 -- --adaptive)
echo "$submitted"
grep -q "until every pixel's relative error is below 0.636396" <<<"$submitted" || fail "no share of the target"
job_ids "$submitted"
wait_for_merge "$work/until"
grep -q "^Noise: relative error" "$work"/until/logs/merge-*.log || fail "the merge does not state the noise"
for log in "$work"/until/logs/render-*.log; do
    grep -q "^Noise: relative error" "$log" || fail "$log: the range does not state its noise"
done
grep -h "^Noise" "$work"/until/logs/*.log
echo "PASS: ranges rendered until a noise target merge and state their noise"
