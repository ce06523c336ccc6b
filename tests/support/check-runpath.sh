#!/bin/sh
# Every program and library under the given build folders: no RPATH or
# RUNPATH entry that is empty or relative, as the dynamic loader reads
# either against the working directory ($ORIGIN is the file's own folder).
set -u
status=0
checked=0
for file in $(find "$@" -type f \( -perm -u+x -o -name '*.so*' \) | sort); do
    readelf -h "$file" >/dev/null 2>&1 || continue
    checked=$((checked + 1))
    # Each path as :entry:entry:, so an empty entry shows as "::".
    paths="$(readelf -d "$file" | sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/:\2:/p')"
    if echo "$paths" | grep -Eq '::|:[^/$]|:\$[^O]'; then
        echo "$file: a search path entry that is empty or relative: $paths" >&2
        status=1
    fi
done
[ "$checked" -gt 0 ] || { echo "no program or library in $*" >&2; exit 1; }
echo "$checked files checked"
exit "$status"
