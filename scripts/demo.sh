#!/usr/bin/env bash
# Runs Quorvane on a demo database of its own: a SQLite file reached through
# the real unixODBC driver manager and the SQLite ODBC driver registered under
# the name "SQL Server" in a private odbcinst.ini, with a private settings
# folder that points at it. Nothing of the user's own settings or ODBC
# registrations is read or written.
#
# With a display the wizard opens for the user. Without one, quorvane-demo
# drives the real windows on Qt's offscreen platform and prints what it did.
#
# Expects build/quorvane and build/quorvane-demo (make demo builds them).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUORVANE_BUILD_DIR:-$root/build}
build=$(mkdir -p "$build" && cd "$build" && pwd)
demo=$build/demo

# --- the database, new on every run -------------------------------------------
mkdir -p "$demo"
rm -f "$demo/demo.sqlite" "$demo/demo.sqlite-journal"
sqlite3 -bail "$demo/demo.sqlite" < "$root/scripts/demo.sql"
echo "demo: database $demo/demo.sqlite"

# --- private ODBC registration --------------------------------------------------
driver=$(dpkg -L libsqliteodbc 2>/dev/null | grep -E '/libsqlite3odbc\.so$' | head -n 1 || true)
if [ -z "$driver" ] || [ ! -e "$driver" ]; then
    driver=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
fi
if [ ! -e "$driver" ]; then
    echo "demo: the SQLite ODBC driver is not installed (Debian package libsqliteodbc); run scripts/deps.sh" >&2
    exit 1
fi
mkdir -p "$demo/odbc"
printf '[SQL Server]\nDescription=SQLite 3 (Quorvane demo)\nDriver=%s\nSetup=%s\n' "$driver" "$driver" \
    > "$demo/odbc/odbcinst.ini"
: > "$demo/odbc/odbc.ini"
export ODBCSYSINI=$demo/odbc
export ODBCINSTINI=odbcinst.ini
export ODBCINI=$demo/odbc/odbc.ini
echo "demo: driver \"SQL Server\" -> $driver (private, $ODBCSYSINI/$ODBCINSTINI)"

# --- private settings -----------------------------------------------------------
# QSettings' INI format: a blank in a key is written as %20, and a value in
# double quotes may hold commas, semicolons and leading blanks (backslash and
# quote escaped).
ini_quote()
{
    local v=${1//\\/\\\\}
    v=${v//\"/\\\"}
    printf '"%s"' "$v"
}
config=$demo/config
mkdir -p "$config/Brantlow"
chmod 0700 "$config" "$config/Brantlow"
settings=$config/Brantlow/Brantlow.ini
rm -f "$settings"
(
    umask 077
    {
        echo '[Quorvane]'
        echo 'MSSQLServer=localhost'
        echo 'MSSQLPort=1433'
        echo 'MSSQLUser=demo'
        echo 'MSSQLPassword='
        echo "MSSQLDatabase=$(ini_quote "$demo/demo.sqlite")"
        echo 'Local%20Connection=0'
    } > "$settings"
)
chmod 0600 "$settings"
export XDG_CONFIG_HOME=$config
echo "demo: settings $settings"
# The desktop's keyring holds the password of your own settings: the demo
# keeps its (empty) one in its own file, so the program gets no session bus.
no_keyring=unix:path=/nonexistent/quorvane-demo

# --- private documents folder ---------------------------------------------------
# Workbooks go to the Quorvane folder among the documents that xdg-user-dir
# names; the private settings folder names one inside the demo folder.
documents=$demo/documents
mkdir -p "$documents"
printf 'XDG_DOCUMENTS_DIR="%s"\n' "$documents" > "$config/user-dirs.dirs"
echo "demo: workbooks go to $documents/Quorvane"

export QUORVANE_DEMO_DIR=$demo
shots=$demo/screenshots

# --- run -------------------------------------------------------------------------
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    app=$build/quorvane
    if [ ! -x "$app" ]; then
        echo "demo: $app is missing; build it first (make demo)" >&2
        exit 1
    fi
    echo "demo: starting $app"
    DBUS_SESSION_BUS_ADDRESS=$no_keyring exec "$app" "$@"
fi

# Headless: no spreadsheet application can be shown, so stand-ins for
# xdg-mime and xdg-open answer the availability check and record which
# workbook would have been opened. They live only on this run's PATH.
bin=$demo/bin
mkdir -p "$bin"
log=$demo/xdg-calls.log
: > "$log"
# Each stand-in appends one line per call to ../xdg-calls.log: its name, then
# every argument in brackets, so a path with blanks stays readable.
cat > "$bin/xdg-mime" <<'STUB'
#!/bin/sh
log="$(dirname "$0")/../xdg-calls.log"
{ printf 'xdg-mime'; for a in "$@"; do printf ' [%s]' "$a"; done; printf '\n'; } >> "$log"
if [ "$1" = query ] && [ "$2" = default ]; then
    echo quorvane-demo-spreadsheet.desktop
fi
exit 0
STUB
cat > "$bin/xdg-open" <<'STUB'
#!/bin/sh
log="$(dirname "$0")/../xdg-calls.log"
{ printf 'xdg-open'; for a in "$@"; do printf ' [%s]' "$a"; done; printf '\n'; } >> "$log"
exit 0
STUB
chmod 0755 "$bin/xdg-mime" "$bin/xdg-open"
export PATH=$bin:$PATH

# The runtime folder of the headless run (the program writes nothing there),
# and the cells waiting for their workbook, stay inside the build folder.
export XDG_RUNTIME_DIR=$demo/runtime XDG_CACHE_HOME=$demo/cache
mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CACHE_HOME"
chmod 0700 "$XDG_RUNTIME_DIR" "$XDG_CACHE_HOME"

rm -rf "$shots"
mkdir -p "$shots"
export QT_QPA_PLATFORM=offscreen
tool=$build/quorvane-demo
if [ ! -x "$tool" ]; then
    echo "demo: $tool is missing; build it first (make demo)" >&2
    exit 1
fi
echo "demo: no display; running $tool offscreen"
DBUS_SESSION_BUS_ADDRESS=$no_keyring "$tool" "$shots" "$@"
echo "demo: spreadsheet application calls recorded in $log:"
sed 's/^/  /' "$log"

# --- the workbook in LibreOffice Calc ----------------------------------------------
# What the user would have seen next: the workbook open in Calc, shown in its
# window on a virtual display of its own and photographed there.
workbook=$(sed -n 's/^xdg-open \[\(.*\)\]$/\1/p' "$log" | tail -n 1)
if [ -n "$workbook" ] && [ -f "$workbook" ]; then
    if ! "$root/scripts/deps.sh" window; then
        echo "demo: LibreOffice Calc with its windows could not be installed; no screenshot of the workbook" >&2
    elif xvfb-run -a -s "-screen 0 1280x800x24" env QT_QPA_PLATFORM=xcb \
        "$root/scripts/calc-window.py" "$workbook" "" 1280 800 \
        "$tool" --grab-screen "$shots/workbook-in-calc.png" 2>/dev/null; then
        echo "demo: workbook opened in LibreOffice Calc on a virtual display"
        echo "demo: screenshot: $shots/workbook-in-calc.png"
    else
        echo "demo: LibreOffice Calc could not show the workbook; no screenshot of it" >&2
    fi
fi
echo "demo: screenshots in $shots"
