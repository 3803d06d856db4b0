#!/usr/bin/env bash
# Builds and runs the whole suite twice: a normal build in build/ and one with
# AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/. Fails when
# either fails; both always run, so one report covers both.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
jobs=${JOBS:-2}

declare -A result
run_suite()
{
    local dir=$1
    shift
    echo "=== $dir: configure $*"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" || return 1
    echo "=== $dir: build"
    cmake --build "$dir" -j"$jobs" || return 1
    echo "=== $dir: test"
    # The tests share nothing: each has its own temporary settings folder,
    # ODBC registration, database copy and, for PostgreSQL, its own server
    # on a free port, so two may run at once.
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

status=0
for suite in "build" "build-asan -DQUORVANE_SANITIZE=ON"; do
    read -r dir opts <<< "$suite"
    # shellcheck disable=SC2086 # opts holds zero or more separate options
    if run_suite "$dir" $opts; then
        result[$dir]=passed
    else
        result[$dir]=FAILED
        status=1
    fi
done

echo
echo "=== summary"
for dir in build build-asan; do
    printf '  %-11s %s\n' "$dir" "${result[$dir]}"
done
exit $status
