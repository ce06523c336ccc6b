#!/bin/sh
# Every program and library under the given build folders: no RPATH or
# RUNPATH entry that is empty or relative, as the dynamic loader reads
# either against the working directory. $ORIGIN is the file's own folder.
# Usage: check-runpath.sh FOLDER...
set -u
status=0
checked=0
for folder in "$@"; do
    [ -d "$folder" ] || { echo "no folder $folder" >&2; exit 1; }
    for file in $(find "$folder" -type f \( -perm -u+x -o -name '*.so*' \) | sort); do
        readelf -h "$file" >/dev/null 2>&1 || continue
        checked=$((checked + 1))
        bad="$(readelf -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p' |
            while read -r paths; do
                # Split by hand: the shell's own splitting drops a last empty entry.
                rest="$paths:"
                while [ -n "$rest" ]; do
                    entry="${rest%%:*}"
                    rest="${rest#*:}"
                    case "$entry" in
                    /* | '$ORIGIN' | '$ORIGIN/'*) ;;
                    *)
                        echo "$file: the search path [$paths] has the entry '$entry'"
                        break
                        ;;
                    esac
                done
            done)"
        if [ -n "$bad" ]; then
            echo "$bad" >&2
            status=1
        fi
    done
done
[ "$checked" -gt 0 ] || { echo "no program or library in $*" >&2; exit 1; }
echo "$checked files checked"
exit "$status"
