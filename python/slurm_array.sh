#!/bin/bash
# Runs corlune over a corpus as a Slurm job array: one corlune process per
# recording, one after the other within a task; each array task takes its own
# slice of FILES_PER_TASK lines of the list. Installed as
# PREFIX/share/corlune/slurm_array.sh; from the corpus root:
#
#   export FILES_PER_TASK=50
#   find . -type f -regextype posix-extended \
#       -iregex '.*\.(wav|flac|aiff?|aifc|sph|nist|caf|w64|rf64|au|snd|ogg|oga|opus|mp3)' |
#     sort > /results/recordings.txt
#   n=$(wc -l < /results/recordings.txt); per=$FILES_PER_TASK
#   sbatch --array=0-$(( (n + per - 1) / per - 1 ))%100 \
#       /opt/corlune/share/corlune/slurm_array.sh /results/recordings.txt /results
#
# The tasks see the submitting shell's environment: they run corlune from
# PATH, or CORLUNE when set, with FILES_PER_TASK lines each. Export the value
# the array was sized with rather than passing it by --export=ALL,VAR=value,
# where an exported VAR of the caller would win over the value given.
#
# LIST holds one recording's path per line, relative to the directory the job
# is submitted from (or absolute). The results of s1/utt.flac go to
# OUTROOT/s1/utt.frmseg ... OUTROOT/s1/utt.mask: the directory tree is
# mirrored, so equal file names in different directories do not overwrite
# each other. Recordings whose result sets are already complete (their
# record matches every file) are skipped, so resubmitting the same array
# redoes only what is missing.
# The task fails (exit 1) when any of its recordings failed; the log names them.
#
# Memory: corlune streams a recording in about 20 MB, and its results add
# about 0.04 MB per second of audio at any sample rate, so 512M hold about
# three hours; raise --mem for longer recordings.
#SBATCH --job-name=corlune
#SBATCH --cpus-per-task=1
#SBATCH --mem=512M
#SBATCH --time=02:00:00
#SBATCH --output=corlune-%A_%a.log

set -u
usage="usage: sbatch --array=0-K slurm_array.sh LIST OUTROOT"
list=${1:?$usage}
outroot=${2:?$usage}
corlune=${CORLUNE:-corlune}
per=${FILES_PER_TASK:-50}
task=${SLURM_ARRAY_TASK_ID:?not started as a Slurm array task; $usage}
first=$(( task * per + 1 ))
last=$(( first + per - 1 ))
# A missing list would otherwise read as an empty slice: nothing done, status 0.
[ -f "$list" ] && [ -r "$list" ] || { echo "FAILED: cannot read the list $list" >&2; exit 1; }

# The result set of prefix $1 is complete: its record, which corlune writes
# last, lists every file of the set with its size and CRC-32, and each file
# matches (a set left half-replaced by a killed run does not).
complete() {
    python3 - "$1" 2> /dev/null <<'EOF'
import sys, zlib
prefix = sys.argv[1]
lines = open(prefix + ".record", encoding="ascii").read().split("\n")
assert lines[0] == "corlune result record 1" and lines[-2:] == ["end", ""]
assert len(lines) > 3 and lines[1] != "publishing"
for line in lines[1:-2]:
    suffix, size, crc = line.split(" ")
    data = open(prefix + suffix, "rb").read()
    assert len(data) == int(size) and zlib.crc32(data) == int(crc, 16)
EOF
}

# Result prefixes (paths without extension) that two lines of the list share,
# as utt.wav and utt.flac in one directory: both would write one result set.
shared=$(sed 's/\.[^./]*$//' "$list" | sort | uniq -d)

failed=0
while IFS= read -r wav; do
    [ -n "$wav" ] || continue
    case "/$wav/" in
        */../*) echo "skipped, '..' in path: $wav" >&2; failed=$(( failed + 1 )); continue ;;
    esac
    rel=${wav#/}
    dir=$outroot/$(dirname "$rel")
    name=$(basename "$rel")
    prefix=$dir/${name%.*}
    if [ -n "$shared" ] && printf '%s\n' "$shared" | grep -qxF -- "${wav%.*}"; then
        echo "another recording in the list has the result name of $wav" >&2
        echo "FAILED: $wav" >&2
        failed=$(( failed + 1 ))
        continue
    fi
    if complete "$prefix"; then
        echo "already done: $wav"
        continue
    fi
    # corlune's standard input is the list being read: keep it off.
    if mkdir -p "$dir" && "$corlune" "$wav" "$dir" < /dev/null && complete "$prefix"; then
        echo "done: $wav"
    else
        echo "FAILED: $wav" >&2
        failed=$(( failed + 1 ))
    fi
done < <(sed -n "${first},${last}p" "$list")

# The last task of the array reports lines that no task covers, as when the
# array was sized for more lines per task than FILES_PER_TASK gives.
total=$(grep -c '' "$list")
if [ "$task" = "${SLURM_ARRAY_TASK_MAX:-}" ] && [ "$total" -gt "$last" ]; then
    echo "FAILED: lines $(( last + 1 ))-$total of $list are beyond the last task;" \
         "with FILES_PER_TASK=$per the array needs --array=0-$(( (total + per - 1) / per - 1 ))" >&2
    failed=$(( failed + 1 ))
fi

echo "task $task: lines $first-$last of $list, $failed failed"
[ "$failed" -eq 0 ]
