# Sourced by the scripts: the facts that several of them need, each
# written once here.
# shellcheck shell=sh

lib_dir=$(cd "$(dirname "$0")" && pwd)

# Every cache beside the trees (a tree, a libcrypto prefix, a Python built
# from its source) is made the same way: DIR is complete only once
# DIR/.complete holds the stamp of what it was made from, and anything else
# (a run killed half-way, other inputs) is made again from nothing. Two
# runs for one DIR take turns on DIR.lock, which stays held until the
# script ends (or until it takes another cache's lock).
#
# cached DIR STAMP: takes DIR's lock; true when DIR is complete with STAMP,
# and so there is nothing to do.
cached() {
    mkdir -p "$(dirname "$1")"
    exec 9>"$1.lock"
    flock 9
    [ -f "$1/.complete" ] && [ "$(cat "$1/.complete")" = "$2" ]
}

# completed DIR STAMP: the last step of making DIR.
completed() {
    printf '%s\n' "$2" >"$1/.complete"
}

# debian_mirror: the Debian mirror that this machine's apt already uses.
# Its name is never written into anything made from it.
debian_mirror() {
    mirror=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
        mirror=$(awk '$1 == "deb" {print $2; exit}' /etc/apt/sources.list)
    fi
    [ -n "$mirror" ] || { echo "$(basename "$0"): no Debian mirror in this machine's apt sources" >&2; return 1; }
    echo "$mirror"
}

# target_field TARGET_OR_ARCHITECTURE COLUMN: a column of scripts/targets.txt
# (1 target, 2 Debian architecture, 3 GNU triplet, 4 wheel platforms, 5
# emulator, 6 compile flags) for the line whose target or architecture this is.
target_field() {
    awk -v name="$1" -v column="$2" '!/^#/ && ($1 == name || $2 == name) {print $column; exit}' \
        "$lib_dir/targets.txt" | grep . || { echo "$(basename "$0"): unknown target '$1'" >&2; return 1; }
}

# targets: the targets of scripts/targets.txt.
targets() {
    awk '!/^#/ && NF {print $1}' "$lib_dir/targets.txt"
}

# needed_libcrypto FILE: the libcrypto sonames that the ELF file FILE needs.
needed_libcrypto() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(libcrypto[^]]*\)\]/\1/p'
}
