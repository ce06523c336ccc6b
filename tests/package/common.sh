# What the package checks share: counting failures, and finding the one
# .deb of a package in the package folder. Sourced, with package_dir set.

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

deb_of() {
    local found=("$package_dir/$1"_*.deb)
    if [ ${#found[@]} -ne 1 ] || [ ! -f "${found[0]}" ]; then
        echo "FAIL: no single $1 package in $package_dir: ${found[*]}" >&2
        exit 1
    fi
    echo "${found[0]}"
}

# Ends the check: how many failed, or what holds.
finish() {
    if [ $failures -ne 0 ]; then
        echo "$failures check(s) failed"
        exit 1
    fi
    echo "$1"
}
