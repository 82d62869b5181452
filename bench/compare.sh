#!/usr/bin/env bash
# Times the editor and the copy tool as whole processes against the everyday
# tools that do the same job, and, where it is easy to write, against the
# least work that prints the same bytes (bench/floor.c, built here with cc).
#
# Paired: in each round every command of a row runs once, in turn, and the
# ratios are taken round by round, so that a machine whose speed drifts still
# gives fair ratios; the figures are medians over the rounds. Whatever a job
# needs beforehand (a fresh copy of the file, no backup left over) is done
# before each run and is not timed, so each time is the job alone.
#
#   bench/compare.sh [build-folder [old-build-folder]] [rounds]
#
# Defaults: build/release, no old build, 31 rounds. With an old build, every
# round also runs the old programs, and each row shows them on a second
# line: before and after from one run. The files live in a fresh folder
# under TMPDIR (default /tmp), whose file system the writes sync to.
#
# Needs bash 5, cc, xxd, grep, dd, truncate, stat and GNU time (/usr/bin/time).
# The commands below are shell text, expanded when they run.
# shellcheck disable=SC2016,SC2034
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build/release}" && pwd)
old=
runs=31
if [[ ${2:-} =~ ^[0-9]+$ ]]; then
    runs=$2
elif [[ -n ${2:-} ]]; then
    old=$(cd "$2" && pwd)
    runs=${3:-31}
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/voxa-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

cc -O3 -static -o floor "$here/floor.c" 2>/dev/null || cc -O3 -o floor "$here/floor.c"
floor=$work/floor

# 5,000,000 random bytes, a 10-byte file, and the scripts.
head -c 5000000 /dev/urandom >orig.bin
printf '0123456789' >ten.bin
printf 's 0 7fffffff 41 42 43\nr 0 7fffffff 41 42 43 n 44 45 46\nw\ny\nq\n' >session.txt
printf 's 0 7fffffff 7f 45 4c\nq\n' >search.txt
printf 'o 0 one.bin 1\nw\ny\nq\n' >patch.txt
: >nothing.txt
for ((i = 0; i < 31250; i++)); do echo d; done >dump.txt
echo q >>dump.txt

# The builds that run: "new", and "old" when given. In each command, $V is
# the editor of the build that runs and $P its package, expanded when the
# command runs.
builds=(new)
declare -A editor=([new]=$build/voxa) packager=([new]=$build/package)
if [[ -n $old ]]; then
    builds+=(old)
    editor[old]=$old/voxa
    packager[old]=$old/package
fi

# The floor prints what the editor prints, or it is no floor.
V=${editor[new]}
for job in "dump orig.bin <dump.txt" "load orig.bin <nothing.txt"; do
    eval "$V ${job#* }" >editor.out
    eval "$floor $job" >floor.out
    cmp -s editor.out floor.out || echo "note: floor $job does not print what the editor prints"
done
$V orig.bin <search.txt >editor.out
$floor search orig.bin 7f 45 4c >floor.out
cmp -s editor.out floor.out || echo "note: floor search does not print what the editor prints"

# Microseconds of wall time of one run of the shell text $1, after the
# set-up $2, which is not timed.
seconds() {
    eval "$2" >/dev/null 2>&1
    local start=$EPOCHREALTIME
    eval "$1" >/dev/null 2>&1 || true
    local end=$EPOCHREALTIME
    echo $((${end/./} - ${start/./}))
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ms() { median <"$1" | awk '{ printf "%.2f", $1 / 1000 }'; }
ratio() { paste "$1" "$2" | awk '{ printf "%.4f\n", $1 / $2 }' | median | awk '{ printf "%.2f", $1 }'; }

# row NAME SETUP A B [C]: the editor's (or package's) command A of each build,
# the everyday tool B and the least work C, each once a round, $runs rounds
# after one unmeasured round; every other round runs them in reverse order.
row() {
    local name=$1 setup=$2 a=$3 b=$4 c=${5:-} build turn i
    local -a turns=()
    for build in "${builds[@]}"; do
        turns+=("$build")
    done
    turns+=(b)
    [[ -z $c ]] || turns+=(c)
    for turn in "${turns[@]}"; do
        : >"$turn.times"
    done
    for ((i = 0; i <= runs; i++)); do
        local -a order=("${turns[@]}")
        if ((i % 2)); then
            order=()
            for turn in "${turns[@]}"; do
                order=("$turn" "${order[@]}")
            done
        fi
        for turn in "${order[@]}"; do
            case $turn in
            b) command=$b ;;
            c) command=$c ;;
            *) V=${editor[$turn]} P=${packager[$turn]} command=$a ;;
            esac
            t=$(seconds "$command" "$setup")
            ((i == 0)) || echo "$t" >>"$turn.times"
        done
    done
    local first=1 label b_ms c_ms a_c
    for build in "${builds[@]}"; do
        label='' b_ms='' c_ms='' a_c=-
        if ((first)); then
            label=$name b_ms=$(ms b.times) c_ms=-
            [[ -z $c ]] || c_ms=$(ms c.times)
        fi
        [[ -z $c ]] || a_c=$(ratio "$build.times" c.times)
        printf '%-62s %-6s %8s %8s %8s %6s %6s\n' "$label" "$build" "$(ms "$build.times")" "$b_ms" "$c_ms" \
            "$(ratio "$build.times" b.times)" "$a_c"
        first=0
    done
}

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
printf 'machine: %s cores, %s, %s; files on %s under %s; load average %s\n' "$(nproc)" "${cpu:-unknown processor}" \
    "$(uname -sr)" "$(df --output=fstype . | tail -n 1)" "${TMPDIR:-/tmp}" "$(cut -d ' ' -f 1-3 /proc/loadavg)"
printf '%s rounds, medians; A the editor (or package), B the everyday tool, C the least work\n\n' "$runs"
printf '%-62s %-6s %8s %8s %8s %6s %6s\n' "job: A against B" build "A ms" "B ms" "C ms" "A/B" "A/C"

row "session: load, s, r, w, y, q  vs  cp, cp, sync" \
    "cp orig.bin f.bin && rm -f f.7in b1 b2" \
    '$V f.bin <session.txt' \
    "cp f.bin b1 && cp f.bin b2 && sync b2"
row "dump of 5 MB (31,250 d) into a pipe  vs  xxd into a pipe" "" \
    '$V orig.bin <dump.txt | cat >/dev/null' \
    "xxd orig.bin | cat >/dev/null" \
    "$floor dump orig.bin <dump.txt | cat >/dev/null"
row "search 5 MB: s 0 7fffffff 7f 45 4c, q  vs  grep -c -obUaP" "" \
    '$V orig.bin <search.txt' \
    "LC_ALL=C grep -c -obUaP '\\x7f\\x45\\x4c' orig.bin" \
    "$floor search orig.bin 7f 45 4c"
row "10-byte file, then q  vs  /bin/true" "" \
    '$V ten.bin <nothing.txt' \
    "/bin/true" \
    "$floor start"
row "load 5 MB, then q  vs  cat into /dev/null" "" \
    '$V orig.bin <nothing.txt' \
    "cat orig.bin >/dev/null" \
    "$floor load orig.bin <nothing.txt"
# The same promise as package's: after a power cut, the earlier output or
# the whole copy.
row "package on 5 MB over an earlier output  vs  cp, sync, mv" "cp orig.bin out.bin && sync out.bin" \
    '$P build orig.bin out.bin' \
    "cp orig.bin out.tmp && sync out.tmp && mv out.tmp out.bin"
sparse_setup="rm -rf sparse && mkdir sparse && truncate -s 6000000000 sparse/img && printf Z >sparse/one.bin"
patch_dd="cd sparse && dd if=one.bin of=img bs=1 seek=2000000000 count=1 conv=notrunc,fsync status=none"
row "1 byte into a 6 GB sparse file: o, w, y at 2000000001  vs  dd" "$sparse_setup" \
    'cd sparse && $V img 2000000001 <../patch.txt' \
    "$patch_dd"

# What the patch adds to the file on disk (its old self is the backup).
added() { eval "$sparse_setup"; (eval "$1") >/dev/null 2>&1; echo $(($(stat -c %b sparse/img) / 2)); }
grown=
for build in "${builds[@]}"; do
    V=${editor[$build]}
    grown+="$build +$(added 'cd sparse && $V img 2000000001 <../patch.txt') KiB, "
done
printf '\nthe sparse file on disk after the patch: %sdd +%s KiB\n' "$grown" "$(added "$patch_dd")"

peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
cp orig.bin f.bin
rm -f f.7in
printf 'peak memory (new): 10-byte file %s KiB, 5 MB session %s KiB\n' \
    "$(peak "${editor[new]}" ten.bin <nothing.txt)" "$(peak "${editor[new]}" f.bin <session.txt)"
