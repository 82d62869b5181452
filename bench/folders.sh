#!/usr/bin/env bash
# Times what the size of a file's folder costs the editor: its start-up (the
# load, then q) and a write session (e, w, y, q) on a 4 KB file, in a folder
# of 10 files, in one of 200,000 and in one of 10 files beside 10,000 marks
# of rewrites that did not finish (made by this user, of other files).
#
# Paired: in each round every command runs once, in turn (every other round
# in reverse order), and the ratio of each large folder to the small one is
# taken round by round, so that a machine whose speed drifts still gives
# fair ratios; the figures are medians over the rounds. With an old build,
# every round also runs the old programs: before and after from one run.
#
#   bench/folders.sh [build-folder [old-build-folder]] [rounds]
#
# Defaults: build/release, no old build, 21 rounds. The folders are made
# under TMPDIR (default /tmp); making the large one takes a few seconds.
#
# Needs bash 5, seq, xargs and touch.
set -euo pipefail

build=$(cd "${1:-build/release}" && pwd)
old=
runs=21
if [[ ${2:-} =~ ^[0-9]+$ ]]; then
    runs=$2
elif [[ -n ${2:-} ]]; then
    old=$(cd "$2" && pwd)
    runs=${3:-21}
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/voxa-folders.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

printf 'q\n' >start.txt
printf 'e 0 5a\nw\ny\nq\n' >write.txt
folders=(small large marks)
mkdir small large marks
(cd small && seq -f 'f%06g.dat' 10 | xargs touch)
(cd large && seq -f 'f%06g.dat' 200000 | xargs touch)
(cd marks && seq -f 'f%06g.dat' 10 | xargs touch)
(cd marks && seq -f '.voxa-torn-%06g' 10000 | xargs touch)
for f in "${folders[@]}"; do
    head -c 4096 /dev/urandom >"$f/x.bin"
done

builds=(new)
declare -A editor=([new]=$build/voxa)
if [[ -n $old ]]; then
    builds+=(old)
    editor[old]=$old/voxa
fi
# A first write in each folder makes the backup that the timed ones replace.
for b in "${builds[@]}"; do
    for f in "${folders[@]}"; do
        (cd "$f" && "${editor[$b]}" x.bin <../write.txt >/dev/null)
    done
done

# Microseconds of wall time of one run.
micros() {
    local start=$EPOCHREALTIME
    (cd "$1" && "$2" x.bin <"../$3" >/dev/null) || true
    local end=$EPOCHREALTIME
    echo $((${end/./} - ${start/./}))
}

median() {
    sort -n | awk '{ v[NR] = $1 } END { m = (NR + 1) / 2; print (NR % 2) ? v[m] : (v[m - 0.5] + v[m + 0.5]) / 2 }'
}

declare -A times
jobs=()
for b in "${builds[@]}"; do
    for s in start write; do
        for f in "${folders[@]}"; do
            jobs+=("$b $s $f")
        done
    done
done
for ((round = 0; round < runs; round++)); do
    order=("${jobs[@]}")
    if ((round % 2 == 1)); then
        mapfile -t order < <(printf '%s\n' "${jobs[@]}" | tac)
    fi
    for job in "${order[@]}"; do
        read -r b s f <<<"$job"
        times[$job]+="$(micros "$f" "${editor[$b]}" "$s.txt") "
    done
done

echo "machine: $(nproc) cores, $(uname -sr); folders under ${TMPDIR:-/tmp} ($(stat -f -c %T .))"
echo "$runs rounds, medians; x.bin of 4 KB in a folder of 10 files, of 200,000 files, and of 10 files and 10,000 marks"
echo
printf '%-8s %-6s %10s %10s %10s %9s %9s\n' build job "10 ms" "200k ms" "marks ms" "200k/10" "marks/10"
for b in "${builds[@]}"; do
    for s in start write; do
        read -ra small <<<"${times[$b $s small]}"
        read -ra large <<<"${times[$b $s large]}"
        read -ra marks <<<"${times[$b $s marks]}"
        ratio_large=() ratio_marks=()
        for ((i = 0; i < runs; i++)); do
            ratio_large+=("$(awk -v a="${large[i]}" -v b="${small[i]}" 'BEGIN { printf "%.3f", a / b }')")
            ratio_marks+=("$(awk -v a="${marks[i]}" -v b="${small[i]}" 'BEGIN { printf "%.3f", a / b }')")
        done
        printf '%-8s %-6s %10.2f %10.2f %10.2f %9.2f %9.2f\n' "$b" "$s" \
            "$(printf '%s\n' "${small[@]}" | median | awk '{ print $1 / 1000 }')" \
            "$(printf '%s\n' "${large[@]}" | median | awk '{ print $1 / 1000 }')" \
            "$(printf '%s\n' "${marks[@]}" | median | awk '{ print $1 / 1000 }')" \
            "$(printf '%s\n' "${ratio_large[@]}" | median)" "$(printf '%s\n' "${ratio_marks[@]}" | median)"
    done
done
