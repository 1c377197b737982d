#!/usr/bin/env bash
# Runs a command on this machine as it would run on one without simdjson: in a
# private mount namespace where every libsimdjson the dynamic linker knows of
# is covered by an empty file, so that loading it fails. Nothing changes
# outside the namespace, and the command's helper processes (redis-server,
# chromium) run in it as usual. Needs root (or unprivileged user namespaces).
#   scripts/without_system_simdjson.sh COMMAND [ARGUMENT...]
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARGUMENT...]" >&2; exit 2; }
mapfile -t libraries < <(ldconfig -p | awk '/libsimdjson\.so/ {print $NF}' | xargs -r -n 1 realpath | sort -u)
if [ ${#libraries[@]} -eq 0 ]; then
    exec "$@"  # no system simdjson to hide
fi
as_root=()
[ "$(id -u)" = 0 ] || as_root=(--map-root-user)
empty=$(mktemp)
trap 'rm -f "$empty"' EXIT
# The inner shell mounts, then runs the command; the namespace ends with it.
unshare "${as_root[@]}" --mount --propagation private -- bash -c '
    empty=$1 count=$2
    shift 2
    for library in "${@:1:count}"; do
        mount --bind "$empty" "$library"
    done
    shift "$count"
    exec "$@"
' hide "$empty" "${#libraries[@]}" "${libraries[@]}" "$@"
