#!/bin/sh
# Runs a command in a D-Bus session of its own with a GNOME keyring that is
# unlocked and empty: the Secret Service the program finds on a desktop, but
# never the user's. Its files go to a home made for this run and removed after,
# so nothing stored by one run is found by the next.
#
#   with-keyring.sh <command> [<argument>...]
#
# The command sees QUORVANE_PRIVATE_KEYRING=1: its keyring may be written to.
set -eu

if [ "${1:-}" != --in-session ]; then
    exec dbus-run-session -- "$0" --in-session "$@"
fi
shift

home=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-keyring-XXXXXX")
daemon=
cleanup() {
    if [ -n "$daemon" ]; then
        kill "$daemon" 2>/dev/null || true
        wait "$daemon" 2>/dev/null || true
    fi
    rm -rf "$home"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Without XDG_RUNTIME_DIR the daemon would put its control socket under
# $HOME/.cache; with it, the socket is in a private runtime folder.
mkdir -m 0700 "$home/runtime"
export HOME="$home" XDG_RUNTIME_DIR="$home/runtime" XDG_DATA_HOME="$home/.local/share" \
    XDG_CACHE_HOME="$home/.cache" XDG_CONFIG_HOME="$home/.config"
# QtKeychain prefers KWallet on a Plasma desktop; here it is to find the Secret Service.
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION KDE_FULL_SESSION KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID

# --unlock creates the login keyring with the password read from stdin and
# unlocks it; it becomes the default collection, where QtKeychain stores.
# Started in the foreground of a background job, it can be ended by its id.
printf %s quorvane-test | gnome-keyring-daemon --unlock --components=secrets --foreground >/dev/null &
daemon=$!

# Asking whether the name has an owner starts nothing: a call to the name
# itself would have D-Bus start a second, locked keyring.
tries=0
until dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; do
    tries=$((tries + 1))
    if [ "$tries" -ge 100 ] || ! kill -0 "$daemon" 2>/dev/null; then
        echo "with-keyring.sh: gnome-keyring-daemon did not come up on the session bus" >&2
        exit 1
    fi
    sleep 0.1
done

export QUORVANE_PRIVATE_KEYRING=1
"$@"
