#!/usr/bin/env bash
# Builds the Debian package from a finished build folder, checks its control
# data and file list, unpacks it into a throw-away root, starts the unpacked
# program there and checks that it found its cursor and skin beside itself.
# Then runs the package's postinst against a private odbcinst.ini.
set -euo pipefail

build=$1
source=$2
work=$(mktemp -d)
trap 'kill "${pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/pkg/quorvane_*.deb)
echo "package: $(basename "$deb")"

info=$(dpkg-deb -I "$deb")
grep -q '^ Package: quorvane$' <<<"$info" || fail "package name"
depends=$(grep '^ Depends:' <<<"$info")
for need in libqt6widgets6 qt6-qpa-plugins libodbc2 odbcinst tdsodbc zlib1g xdg-utils fonts-liberation \
    libgnutls30 libqt6keychain1 libsecret-1-0; do
    grep -q "$need" <<<"$depends" || fail "Depends lacks $need: $depends"
done
# The program writes its workbooks itself; the benchmark's plain writer is not its dependency.
! grep -q libxlsxwriter <<<"$depends" || fail "Depends names libxlsxwriter: $depends"
# Every package named must exist in the release the package is built on.
for pkg in $(sed 's/^ Depends://; s/([^)]*)//g; s/,/ /g' <<<"$depends"); do
    apt-cache show "$pkg" >/dev/null 2>&1 || fail "unknown package $pkg"
done

# A spreadsheet application is recommended, LibreOffice Calc first.
recommends=$(grep '^ Recommends:' <<<"$info" || true)
grep -q 'libreoffice-calc | gnumeric' <<<"$recommends" || fail "Recommends lacks libreoffice-calc | gnumeric: $recommends"
for pkg in $(sed 's/^ Recommends://; s/([^)]*)//g; s/[,|]/ /g' <<<"$recommends"); do
    apt-cache show "$pkg" >/dev/null 2>&1 || fail "unknown package $pkg"
done

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/lib/quorvane/quorvane ./usr/lib/quorvane/HAND-M.CUR ./usr/lib/quorvane/x/o.cjs \
    ./usr/lib/quorvane/local-connection-example.jpg ./usr/bin/quorvane \
    ./usr/share/applications/app.quorvane.Quorvane.desktop ./usr/share/metainfo/app.quorvane.Quorvane.metainfo.xml \
    ./usr/share/icons/hicolor/256x256/apps/quorvane.png ./usr/share/icons/hicolor/32x32/apps/quorvane.png; do
    grep -qx "$f" <<<"$files" || fail "missing $f"
done
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
grep -q postinst <<<"$control" || fail "no postinst"

# The unpacked program, started through the command on the path.
root=$work/root
dpkg-deb -x "$deb" "$root"
mkdir -p "$work/bin" "$work/config" "$work/home"
printf '#!/bin/sh\necho calc.desktop\n' >"$work/bin/xdg-mime"
chmod +x "$work/bin/xdg-mime"
mkdir -p -m 0700 "$work/runtime" "$work/cache"
# A home of its own: the workbooks' folder is made among its documents, never the real user's.
PATH="$work/bin:$PATH" HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" XDG_CACHE_HOME="$work/cache" \
    QT_QPA_PLATFORM=offscreen \
    QT_LOGGING_RULES="quorvane.startup.debug=true" "$root/usr/bin/quorvane" >"$work/run.log" 2>&1 &
pid=$!
for _ in $(seq 50); do
    grep -q 'start-up done' "$work/run.log" 2>/dev/null && break
    sleep 0.1
done
exe=$(readlink "/proc/$pid/exe" || true)
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
cat "$work/run.log"
[ "$exe" = "$root/usr/lib/quorvane/quorvane" ] || fail "running $exe"
grep -q "hand cursor loaded from $root/usr/lib/quorvane/HAND-M.CUR" "$work/run.log" || fail "cursor not found"
grep -q "skin applied from $root/usr/lib/quorvane/x/o.cjs" "$work/run.log" || fail "skin not found"

# postinst registers FreeTDS as "SQL Server" once, and leaves an existing registration alone.
dpkg-deb -e "$deb" "$work/control"
export ODBCSYSINI=$work/odbc
mkdir -p "$ODBCSYSINI"
: >"$ODBCSYSINI/odbcinst.ini"
"$work/control/postinst" configure >/dev/null
registered=$(odbcinst -q -d -n "SQL Server")
grep -q 'libtdsodbc.so' <<<"$registered" || fail "FreeTDS not registered"
before=$(cat "$ODBCSYSINI/odbcinst.ini")
"$work/control/postinst" configure >/dev/null
[ "$before" = "$(cat "$ODBCSYSINI/odbcinst.ini")" ] || fail "second configure changed the registration"
printf '[SQL Server]\nDriver=/opt/vendor/libmsodbcsql.so\n' >"$ODBCSYSINI/odbcinst.ini"
"$work/control/postinst" configure >/dev/null
grep -q 'libmsodbcsql' "$ODBCSYSINI/odbcinst.ini" || fail "existing registration replaced"
echo "package checks passed"
