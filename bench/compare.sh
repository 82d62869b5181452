#!/usr/bin/env bash
# Times the editor and the copy tool as whole processes against the
# everyday tools that do the same job, paired: the two commands run in turn
# (A B A B ...), and each pair gives a ratio A/B, so that a machine whose
# speed drifts still gives fair ratios. Prints, per job, the median wall
# time of each side and the median of the ratios; then the peak memory of
# a small and of a 5 MB session.
#
#   bench/compare.sh [build-folder] [runs]     (default build/release, 31)
#
# Needs bash 5, xxd and GNU time (/usr/bin/time).
set -euo pipefail

build=$(cd "${1:-build/release}" && pwd)
runs=${2:-31}
voxa=$build/voxa
package=$build/package
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# 5,000,000 random bytes, a 10-byte file, and the scripts.
head -c 5000000 /dev/urandom >orig.bin
cp orig.bin f.bin
printf '0123456789' >ten.bin
printf 's 0 7fffffff 41 42 43\nr 0 7fffffff 41 42 43 n 44 45 46\nw\ny\nq\n' >session.txt
: >nothing.txt
for ((i = 0; i < 31250; i++)); do echo d; done >dump.txt
echo q >>dump.txt

# Wall seconds of one run of the shell text $1.
seconds() {
    local start=$EPOCHREALTIME
    eval "$1" >/dev/null 2>&1
    local end=$EPOCHREALTIME
    awk -v us=$((${end/./} - ${start/./})) 'BEGIN { printf "%.6f\n", us / 1e6 }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# compare NAME A B: runs A and B in turn, once each unmeasured, then $runs pairs.
compare() {
    local name=$1 a=$2 b=$3 ta tb
    : >a.times
    : >b.times
    : >ratios
    eval "$a" >/dev/null 2>&1 || true
    eval "$b" >/dev/null 2>&1 || true
    for ((i = 0; i < runs; i++)); do
        ta=$(seconds "$a")
        tb=$(seconds "$b")
        echo "$ta" >>a.times
        echo "$tb" >>b.times
        awk -v a="$ta" -v b="$tb" 'BEGIN { printf "%.4f\n", a / b }' >>ratios
    done
    printf '%-58s %9.2f ms %9.2f ms %7.2fx\n' "$name" \
        "$(median <a.times | awk '{ print $1 * 1000 }')" \
        "$(median <b.times | awk '{ print $1 * 1000 }')" "$(median <ratios)"
}

printf '%-58s %12s %12s %8s\n' "job (A against B), $runs pairs" "median A" "median B" "A/B"
compare "session: load, s, r, w, y, q  vs  cp, cp, sync" \
    "cp orig.bin f.bin && $voxa f.bin <session.txt" \
    "cp orig.bin f.bin && cp f.bin b1 && cp f.bin b2 && sync b2"
compare "dump of 5 MB into a pipe  vs  xxd into a pipe" \
    "$voxa orig.bin <dump.txt | cat >/dev/null" \
    "xxd orig.bin | cat >/dev/null"
compare "10-byte file, then q  vs  /bin/true" \
    "$voxa ten.bin <nothing.txt" \
    "/bin/true"
compare "load 5 MB, then q  vs  cat into /dev/null" \
    "$voxa orig.bin <nothing.txt" \
    "cat orig.bin >/dev/null"
compare "package on 5 MB  vs  cp" \
    "$package build orig.bin out.bin" \
    "cp orig.bin out.bin"

peak() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1; }
cp orig.bin f.bin
printf 'peak memory: 10-byte file %s kB, 5 MB session %s kB\n' \
    "$(peak "$voxa" ten.bin <nothing.txt)" "$(peak "$voxa" f.bin <session.txt)"
