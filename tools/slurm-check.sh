#!/usr/bin/env bash
# Runs the README's Slurm recipe on a real one-node cluster made on this
# machine, over a generated corpus, and checks what a corpus user relies on:
#
#   - every readable WAV gets a complete result set of the right length in the
#     mirrored tree, also where file names repeat in different directories;
#   - an unreadable file and a refused one are named in the task logs and fail
#     their tasks, while the other tasks complete;
#   - resubmitting the same recipe recomputes only a result set that is missing;
#   - a task given less memory than its recording needs fails cleanly, and
#     succeeds when resubmitted with the script's own memory request.
#
#   tools/install-deps.sh --slurm    # slurm-wlm and munge, once
#   make build
#   tools/slurm-check.sh             # as root; BUILD=DIR for another build tree
#
# The recipe is the fenced sh block that follows the line <!-- slurm-recipe -->
# in README.md, run as written by sh -e from the corpus root. It is given
# the environment a user would set: the installed corlune on PATH, RESULTS
# (the result tree) and FILES_PER_TASK (small, so that the corpus spreads over
# several array tasks). The build is installed (cmake --install) into the
# temporary directory, which the job account can read wherever the checkout
# lies.
#
# Needs root: munged runs as the munge user, slurmctld and slurmd as root, and
# the recipe is submitted by an unprivileged account made for the check (and
# removed again), since file permissions do not stop root's jobs. Everything
# else lives in one temporary directory. Every daemon is stopped by its
# process id at the end, on failure and on interrupt; the logs of a failed
# run are kept and their folder printed. Installs nothing; fails when the
# daemons cannot start.
#
# Environment: BUILD (the build tree to install, default build), CORLUNE
# (another program to install in place of the build's corlune),
# SLURM_CHECK_PORT (slurmctld's TCP port, slurmd takes the next; default the
# first free pair from 6817 on), SLURM_CHECK_TIMEOUT (seconds allowed for one array, default 180),
# MEM_CHECK_SECONDS and MEM_CHECK_LIMIT (the memory check, below).
set -euo pipefail
umask 022

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$repo/build}
corlune=${CORLUNE:-$build/corlune}
port=${SLURM_CHECK_PORT:-}
wait_limit=${SLURM_CHECK_TIMEOUT:-180}
files_per_task=4
# The files of one result set, its record among them.
result_suffixes="frmseg f0cands f0tracks groups mask f0labels record"
job_user="corlune-check"
# A recording of this length must not fit the memory limit below. corlune
# analyses it in bounded memory, about 20 MB for 120 s of 16 kHz audio
# (libraries and block buffers; the results add 0.04 MB per second), which
# takes it a few seconds, longer than Slurm's one-second memory polling.
mem_seconds=${MEM_CHECK_SECONDS:-120}
mem_limit=${MEM_CHECK_LIMIT:-8M}

started=$SECONDS
checked=()
say() { printf 'slurm-check: %s\n' "$*"; }
fail() { printf 'slurm-check: FAILED: %s\n' "$*" >&2; exit 1; }
ok() { checked+=("$*"); say "ok: $*"; }

# ---------------------------------------------------------------- prerequisites

[ "$(id -u)" -eq 0 ] || fail "run as root: the daemons and the job account need it"
for tool in munged mungekey munge unmunge slurmctld slurmd sbatch squeue scontrol \
            sinfo scancel setpriv setsid flock useradd userdel /usr/bin/python3; do
    command -v "$tool" > /dev/null ||
        fail "$tool not found; install Slurm and munge with tools/install-deps.sh --slurm"
done
id munge > /dev/null 2>&1 || fail "no munge account; reinstall the munge package"
[ -x "$corlune" ] && [ -f "$corlune" ] ||
    fail "program not found: $corlune (run make build, or set CORLUNE)"

# The recipe: the fenced sh block directly after the marker line.
recipe=$(awk '
    $0 == "<!-- slurm-recipe -->" { marks++; state = 1; next }
    state == 1 { if ($0 != "```sh") exit 3; state = 2; next }
    state == 2 && $0 == "```" { state = 0; blocks++; next }
    state == 2 { print }
    END { if (marks != 1 || blocks != 1) exit 3 }' "$repo/README.md") && [ -n "$recipe" ] ||
    fail "README.md needs exactly one line <!-- slurm-recipe --> followed by a fenced sh block"

# One check at a time on a machine: they would share the job account.
exec 9> /tmp/corlune-slurm-check.lock
flock -n 9 || { say "waiting for another slurm-check to finish"; flock -w 900 9; } ||
    fail "another slurm-check still holds /tmp/corlune-slurm-check.lock"

# ------------------------------------------------------------ cleanup, always

tmp=$(mktemp -d /tmp/corlune-slurm-check.XXXXXX)
chmod 755 "$tmp"
marker="CORLUNE_SLURM_CHECK=$tmp"   # in the environment of all it starts
daemons=()                         # "name pid", in start order
made_user=0

# Waits up to $2 seconds for process $1 to end.
gone_within() {
    local i
    for (( i = 0; i < $2 * 10; i++ )); do
        kill -0 "$1" 2> /dev/null || return 0
        sleep 0.1
    done
    return 1
}

daemon_pid() { printf '%s\n' "${daemons[@]}" | awk -v n="$1" '$1 == n { print $2 }'; }
daemon_alive() { local pid; pid=$(daemon_pid "$1"); [ -n "$pid" ] && kill -0 "$pid" 2> /dev/null; }

# Processes still carrying the marker: jobs and job steps left behind.
marked_processes() {
    grep -lzx -- "$marker" /proc/[0-9]*/environ 2> /dev/null | cut -d/ -f3 || true
}

stop_everything() {
    local i name pid left=()
    if daemon_alive slurmctld; then
        timeout 20 scancel --quiet --user="$job_user" 2> /dev/null || true
        for (( i = 0; i < 30; i++ )); do
            [ -z "$(timeout 10 squeue -h -o %i 2> /dev/null)" ] && break
            sleep 1
        done
    fi
    for (( i = ${#daemons[@]} - 1; i >= 0; i-- )); do
        read -r name pid <<< "${daemons[i]}"
        kill -TERM "$pid" 2> /dev/null || continue
        gone_within "$pid" 15 || { say "$name ($pid) ignored TERM; killing it"; kill -KILL "$pid"; }
        wait "$pid" 2> /dev/null || true
    done
    for (( i = 0; i < 20; i++ )); do    # job steps finishing their clean-up
        mapfile -t left < <(marked_processes)
        [ ${#left[@]} -eq 0 ] && return 0
        sleep 0.5
    done
    say "left running after the daemons stopped, killed now: ${left[*]}"
    ps -o pid,ppid,user,args -p "$(IFS=,; echo "${left[*]}")" || true
    kill -KILL "${left[@]}" 2> /dev/null || true
    return 1
}

keep_logs() {
    local keep f
    keep=$(mktemp -d /tmp/corlune-slurm-check-logs.XXXXXX)
    cp -r "$tmp/log/." "$keep/" 2> /dev/null || true
    find "$tmp/work" -name 'corlune-*.log' -exec cp {} "$keep/" \; 2> /dev/null || true
    for f in "$keep"/munged.out "$keep"/slurmctld.log "$keep"/slurmd.log; do
        [ -s "$f" ] || continue
        echo "--- last lines of $f"
        tail -n 15 "$f"
    done >&2
    say "logs kept in $keep" >&2
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM
    set +e
    stop_everything || { [ "$status" -ne 0 ] || status=1; say "FAILED: processes were left running"; }
    [ "$made_user" -eq 1 ] && userdel "$job_user"
    [ "$status" -eq 0 ] || keep_logs
    rm -rf "$tmp"
    if [ "$status" -eq 0 ]; then
        say "checked:"
        printf '  - %s\n' "${checked[@]}"
        say "passed in $(( SECONDS - started )) s"
    else
        say "FAILED (status $status) after $(( SECONDS - started )) s" >&2
    fi
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# ---------------------------------------------------------------- the cluster

host=$(hostname -s)
conf=$tmp/etc/slurm.conf
sock=$tmp/munge/munge.socket
mkdir -p "$tmp"/{etc,log,run,ctld,spool,munge,bin,corlune/python,work}
export SLURM_CONF=$conf

# Starts a daemon in the foreground of a background job, so that $! is its
# own pid, in a session of its own, so that a Ctrl-C reaches only this
# script, whose trap stops the cluster in order.
start_daemon() {
    local name=$1; shift
    setsid env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin SLURM_CONF="$conf" "$marker" "$@" \
        < /dev/null >> "$tmp/log/$name.out" 2>&1 9>&- &
    daemons+=("$name $!")
}

# Waits up to $2 seconds for command $3... to succeed while daemon $1 lives.
await() {
    local name=$1 limit=$2 i; shift 2
    for (( i = 0; i < limit * 4; i++ )); do
        "$@" > /dev/null 2>&1 && return 0
        daemon_alive "$name" || fail "$name exited during start-up"
        sleep 0.25
    done
    fail "$name not ready after $limit s"
}

start_munge() {
    mungekey --create --keyfile="$tmp/munge/munge.key"
    chown -R munge:munge "$tmp/munge"
    chmod 755 "$tmp/munge"    # the job account's sbatch needs the socket
    start_daemon munged setpriv --reuid=munge --regid=munge --init-groups \
        munged --foreground --socket="$sock" --key-file="$tmp/munge/munge.key" \
        --pid-file="$tmp/munge/munged.pid" --seed-file="$tmp/munge/munged.seed"
    await munged 20 sh -c 'munge -n -S "$1" | unmunge -S "$1"' sh "$sock"
}

# Whether a TCP socket of this machine, in any state, uses port $1: the
# sockets of a cluster stopped a moment ago linger in TIME-WAIT and keep
# slurmctld from binding the port.
port_used() {
    awk -v p="$(printf '%04X' "$1")" 'FNR > 1 { split($2, a, ":"); if (a[2] == p) used = 1 }
        END { exit !used }' /proc/net/tcp /proc/net/tcp6 2> /dev/null
}

pick_ports() {
    if [ -z "$port" ]; then
        for (( port = 6817; port < 6917; port += 2 )); do
            port_used "$port" || port_used $(( port + 1 )) || return 0
        done
        fail "no free pair of TCP ports from 6817 to 6916"
    fi
}

write_slurm_conf() {
    local cpus mem
    pick_ports
    cpus=$(nproc)
    mem=$(free -m | awk '$1 == "Mem:" { print $2 }')
    cat > "$conf" << EOF
ClusterName=corlunecheck
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$(( port + 1 ))
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket=$sock
CredType=cred/munge
StateSaveLocation=$tmp/ctld
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/run/slurmctld.pid
SlurmdPidFile=$tmp/run/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core_Memory
JobAcctGatherType=jobacct_gather/linux
JobAcctGatherFrequency=task=1
JobAcctGatherParams=OverMemoryKill
ReturnToService=2
MinJobAge=3600
KillWait=5
MpiDefault=none
NodeName=$host NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$mem State=UNKNOWN
PartitionName=check Nodes=$host Default=YES MaxTime=INFINITE State=UP
EOF
    printf 'CgroupPlugin=autodetect\nIgnoreSystemd=yes\n' > "$tmp/etc/cgroup.conf"
}

node_idle() { [ "$(sinfo -h -n "$host" -o %T)" = idle ]; }

start_slurm() {
    write_slurm_conf
    start_daemon slurmctld slurmctld -D -f "$conf"
    await slurmctld 30 scontrol ping
    start_daemon slurmd slurmd -D -f "$conf" -N "$host"
    await slurmd 60 node_idle
    ok "one-node cluster up: $(sinfo --version), munge $(munged --version | awk '{ print $1 }' | sed 's/^munge-//'), $(nproc) CPUs, port $port"
}

# ----------------------------------------------------------------- the corpus

work=$tmp/work
corpus=$work/corpus
manifest=$tmp/manifest    # frames and path of every readable WAV
unreadable=./spk3/locked.wav
refused=./spk4/a/notes.wav

# WAV files of harmonic complexes with gliding F0, 16-bit mono. Arguments:
# ROOT then SECONDS:RATE:PATH ...; prints "frames path" for each file, the
# frame count being ceil(samples / samples per 10 ms).
write_wavs() {
    /usr/bin/python3 - "$@" << 'EOF'
import math, os, sys, wave
import numpy as np

root = sys.argv[1]
for i, spec in enumerate(sys.argv[2:]):
    seconds, rate, path = spec.split(":", 2)
    rate = int(rate)
    n = int(round(float(seconds) * rate))
    t = np.arange(n) / rate
    f0 = 100.0 + 15.0 * i + 40.0 * t / max(t[-1], 1e-3)
    phase = 2 * np.pi * np.cumsum(f0) / rate
    x = sum(np.sin(k * phase) / k for k in range(1, 9))
    pcm = np.round(6000.0 * x / np.abs(x).max()).astype("<i2")
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with wave.open(full, "wb") as w:
        w.setnchannels(1); w.setsampwidth(2); w.setframerate(rate)
        w.writeframes(pcm.tobytes())
    print(math.ceil(n / (rate // 100)), "./" + path)
EOF
}

# 20 readable files in nested directories, one with a space in its name;
# utt01 ... utt04 repeat in every directory, each with its own length so that
# a result set written over by a namesake shows. Plus an unreadable WAV and a
# text file with a WAV name.
make_corpus() {
    local specs=() d k i=0 rate
    for d in spk1/s1 spk1/s2 "spk 2/s1" spk3 spk4/a/b/c; do
        rate=16000
        [ "$d" = spk4/a/b/c ] && rate=8000
        for k in 1 2 3 4; do
            specs+=("$(( 30 + 7 * i ))e-2:$rate:$d/utt0$k.wav")
            i=$(( i + 1 ))
        done
    done
    write_wavs "$corpus" "${specs[@]}" > "$manifest"
    write_wavs "$corpus" "0.5:16000:${unreadable#./}" > /dev/null
    echo "speaker 4, session a: notes" > "$corpus/$refused"
    chown -R "$job_user:$job_user" "$work"
    chown root:root "$corpus/$unreadable"
    chmod 000 "$corpus/$unreadable"
}

# ------------------------------------------------------------ running the recipe

jid=""

# Runs the recipe as the job account from corpus root $1 with results under
# $2 and any further VAR=value settings; sets jid to the array's job id.
run_recipe() {
    local root=$1 results=$2 out; shift 2
    out=$(cd "$root" && env -i PATH="$tmp/prefix/bin:/usr/bin:/bin" HOME="$root" LANG=C.UTF-8 \
        SLURM_CONF="$conf" RESULTS="$results" FILES_PER_TASK="$files_per_task" "$marker" "$@" \
        setpriv --reuid="$job_user" --regid="$job_user" --init-groups \
        sh -e -c "$recipe" 2>&1) || fail "the recipe failed in $root: $out"
    printf '%s\n' "$out" >> "$tmp/log/recipe.out"
    jid=$(printf '%s\n' "$out" | sed -n 's/^Submitted batch job \([0-9][0-9]*\)$/\1/p')
    [ -n "$jid" ] || fail "the recipe submitted no job: $out"
}

# "task state exitcode" of every task of array job $1, by task id.
task_states() {
    scontrol -o show job "$1" | awk '{
        for (i = 1; i <= NF; i++) { k = $i; sub(/=.*/, "", k); v[k] = substr($i, length(k) + 2) }
        print v["ArrayTaskId"], v["JobState"], v["ExitCode"] }' | sort -n
}

# Waits until every task of array job $1 has ended.
await_job() {
    local limit=$(( SECONDS + wait_limit ))
    while task_states "$1" | awk '$2 ~ /^(PENDING|RUNNING|CONFIGURING|COMPLETING|SUSPENDED|REQUEUED|RESIZING)$/ { busy = 1 }
                                  END { exit !busy }'; do
        [ "$SECONDS" -lt "$limit" ] || fail "job $1 not finished after $wait_limit s: $(task_states "$1" | tr '\n' ';')"
        sleep 1
    done
}

# Lines of the logs of job $1 in $2 that start with $3, without that start.
log_lines() { cat "$2"/corlune-"$1"_*.log | sed -n "s|^$3||p" | sort; }

# The five result files of prefix $1 are complete and agree with frame count $2.
result_set_ok() {
    "$tmp/prefix/bin/corlune-view" "$1" > /dev/null ||
        fail "incomplete result set $1"
    [ "$(stat -c %s "$1.f0tracks")" -eq $(( 8 * $2 )) ] ||
        fail "$1 holds $(( $(stat -c %s "$1.f0tracks") / 8 )) frames, its input $2"
}

expected_files() {
    local frames path suffix
    while read -r frames path; do
        for suffix in $result_suffixes; do
            printf '%s.%s\n' "${path%.wav}" "$suffix"
        done
    done < "$manifest" | sort
}

# ---------------------------------------------------------------- the checks

# Every readable file has its own complete result set in the mirrored tree
# and the tree holds nothing else but the recipe's list of recordings.
check_results() {
    local job=$1 results=$2 frames path
    while read -r frames path; do
        result_set_ok "$results/${path%.wav}" "$frames"
    done < "$manifest"
    diff <(expected_files) <(cd "$results" && find . -type f ! -path ./recordings.txt | sort) \
        > "$tmp/log/tree.diff" ||
        fail "result tree differs from the corpus: $(cat "$tmp/log/tree.diff")"
    ok "job $job: $(wc -l < "$manifest") complete result sets of the right lengths in the mirrored tree, nothing else"
}

# The unreadable and the refused file are named FAILED, with the program's
# reason, in the logs of tasks that fail; every other task completes.
check_failures() {
    local job=$1 id state code log
    diff <(printf '%s\n' "$unreadable" "$refused" | sort) <(log_lines "$job" "$corpus" 'FAILED: ') ||
        fail "job $job: FAILED lines in the task logs are not exactly the two bad files"
    # The program's own reason precedes each of its FAILED lines.
    awk 'FNR == 1 { script = 1 }
         /^FAILED: / && script { print FILENAME ": " $0; missing = 1 }
         { script = /^(FAILED|done|already done): |^task [0-9]+: / }
         END { exit missing }' "$corpus"/corlune-"$job"_*.log > "$tmp/log/unexplained" ||
        fail "job $job: failures without the program's reason: $(cat "$tmp/log/unexplained")"
    while read -r id state code; do
        log=$corpus/corlune-${job}_$id.log
        [ -f "$log" ] || fail "job $job: task $id left no log"
        if grep -q '^FAILED: ' "$log"; then
            [ "$state $code" = "FAILED 1:0" ] || fail "job $job: task $id named a failure but ended $state $code"
        else
            [ "$state $code" = "COMPLETED 0:0" ] || fail "job $job: task $id ended $state $code"
        fi
    done < <(task_states "$job")
    ok "job $job: the unreadable and the refused file are named in the logs and fail their tasks ($(task_states "$job" | awk '{ print $2 }' | sort | uniq -c | xargs))"
}

check_first_run() {
    run_recipe "$corpus" "$work/results"
    await_job "$jid"
    [ "$(task_states "$jid" | wc -l)" -gt 1 ] ||
        fail "job $jid is one task: the recipe does not take FILES_PER_TASK from the environment"
    diff <(cut -d' ' -f2- "$manifest" | sort) <(log_lines "$jid" "$corpus" 'done: ') > /dev/null ||
        fail "job $jid: the logs do not report each readable file done once"
    check_results "$jid" "$work/results"
    check_failures "$jid"
}

# After one result set is removed, a resubmission computes it again and
# leaves every other result file untouched.
check_resubmit() {
    local victim='./spk 2/s1/utt01.wav' prefix
    prefix=$work/results/${victim%.wav}
    (cd "$work/results" && find . -type f ! -path "${victim%.wav}.*" ! -path ./recordings.txt -printf '%p %T@\n' | sort) > "$tmp/before"
    rm -f "$prefix".*
    run_recipe "$corpus" "$work/results"
    await_job "$jid"
    [ "$(log_lines "$jid" "$corpus" 'done: ')" = "$victim" ] ||
        fail "job $jid recomputed: $(log_lines "$jid" "$corpus" 'done: ' | xargs)"
    [ "$(log_lines "$jid" "$corpus" 'already done: ' | wc -l)" -eq $(( $(wc -l < "$manifest") - 1 )) ] ||
        fail "job $jid did not skip every complete result set"
    (cd "$work/results" && find . -type f ! -path "${victim%.wav}.*" ! -path ./recordings.txt -printf '%p %T@\n' | sort) |
        diff "$tmp/before" - > "$tmp/log/touched.diff" ||
        fail "job $jid touched result files it should have skipped: $(head -4 "$tmp/log/touched.diff")"
    check_results "$jid" "$work/results"
    ok "job $jid: resubmission recomputed only the removed result set"
    check_failures "$jid"
}

# A task whose memory request is below the recording's needs is stopped by
# Slurm without leaving result files; with the script's own request the same
# recording succeeds. The limit reaches the recipe the way a user's would:
# sbatch reads SBATCH_MEM_PER_NODE as --mem.
check_memory() {
    local root=$work/long results=$work/results-long state frames
    mkdir -p "$root"
    frames=$(write_wavs "$root" "$mem_seconds:16000:long.wav" | awk '{ print $1 }')
    chown -R "$job_user:$job_user" "$root"
    run_recipe "$root" "$results" SBATCH_MEM_PER_NODE="$mem_limit"
    await_job "$jid"
    state=$(task_states "$jid")
    case $state in
        "0 OUT_OF_MEMORY "*|"0 FAILED "*) ;;
        *) fail "job $jid: a $mem_seconds s recording with --mem=$mem_limit ended: $state" ;;
    esac
    grep -qi 'memory limit' "$root"/corlune-"$jid"_0.log ||
        fail "job $jid: the task log does not say that the memory limit was exceeded"
    [ -z "$(find "$work" -path "$results/long.*")" ] ||
        fail "job $jid left result files after running out of memory"
    ok "job $jid: $mem_seconds s of audio with --mem=$mem_limit fails cleanly (${state#0 })"
    run_recipe "$root" "$results"
    await_job "$jid"
    [ "$(task_states "$jid")" = "0 COMPLETED 0:0" ] ||
        fail "job $jid: the same recording with the default memory ended $(task_states "$jid")"
    result_set_ok "$results/long" "$frames"
    ok "job $jid: the same recording completes with the script's memory request"
}

# ------------------------------------------------------------------- the run

cmake --install "$build" --prefix "$tmp/prefix" > "$tmp/log/install.out" ||
    fail "cmake --install $build failed: $(cat "$tmp/log/install.out")"
[ "$corlune" -ef "$build/corlune" ] || cp "$corlune" "$tmp/prefix/bin/corlune"
if ! id "$job_user" > /dev/null 2>&1; then
    useradd --system --user-group --no-create-home --home-dir /nonexistent \
        --shell /usr/sbin/nologin "$job_user"
    made_user=1
fi
start_munge
start_slurm
make_corpus
check_first_run
check_resubmit
check_memory
