#!/usr/bin/env bash
# Installs the Debian 12 or 13 packages that building, testing, the demo, the
# benchmark and the .deb need. Asks apt only when something is missing, so a
# second run costs one dpkg-query.
#
#   scripts/deps.sh          what make, make test and make bench need
#   scripts/deps.sh window   also LibreOffice Calc with its windows, for the
#                            demo's picture of a workbook open in Calc
#
# An entry "a|b" is satisfied by either package and installs a when neither
# is there.
set -euo pipefail

packages=(
    # compiler, build system, Qt 6 Widgets and the packaging tools CPack uses
    build-essential cmake dpkg-dev fakeroot file
    qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
    libqt6svg6 qt6-image-formats-plugins
    # database access: driver manager, the SQLite driver of the tests and the
    # demo, FreeTDS for real SQL Server, PostgreSQL for the schema tests
    unixodbc unixodbc-dev odbcinst libsqliteodbc tdsodbc odbc-postgresql postgresql
    sqlite3
    # the server's certificate, read before any login is sent (the TLS library
    # FreeTDS itself uses on Debian)
    libgnutls28-dev
    # the password in the desktop's keyring, and a real keyring for its tests
    qtkeychain-qt6-dev gnome-keyring libsecret-tools
    # the compressor of the workbook file, the plain writer the benchmark compares
    # with, and the independent reader the tests check it with
    zlib1g-dev libxlsxwriter-dev python3 python3-openpyxl
    # headless windows, opening files, the Arial-compatible face
    xvfb xauth xdg-utils fonts-liberation
    # what a screen reader hears over AT-SPI: a private D-Bus session, the
    # accessibility bus and its registry, and the reader's D-Bus binding
    dbus-daemon at-spi2-core python3-dbus
    # LibreOffice Calc, which the tests open every kind of workbook in through
    # its own API; the full Calc (with windows) serves as well
    "libreoffice-calc-nogui|libreoffice-calc" python3-uno
    # the locales the suite connects and exports under (Turkish case rules among them)
    locales
)
if [ "${1:-}" = window ]; then
    # Calc's windows replace its headless kind (the two cannot be installed
    # together); the X11 plugin of Qt for the screen grab comes with Qt.
    packages+=(libreoffice-calc)
fi

# One dpkg-query for all of them; a package dpkg has never heard of is
# simply absent from its answer.
names=()
for entry in "${packages[@]}"; do
    IFS='|' read -r -a alternatives <<< "$entry"
    names+=("${alternatives[@]}")
done
installed=" $(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${names[@]}" 2>/dev/null \
    | awk '$2 == "installed" { printf "%s ", $1 }' || true) "
missing=()
for entry in "${packages[@]}"; do
    IFS='|' read -r -a alternatives <<< "$entry"
    present=no
    for p in "${alternatives[@]}"; do
        case "$installed" in
            *" $p "*) present=yes ;;
        esac
    done
    if [ $present = no ]; then
        missing+=("${alternatives[0]}")
    fi
done

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
if [ ${#missing[@]} -eq 0 ]; then
    echo "deps: all ${#packages[@]} packages present"
else
    echo "deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get update
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Locales the tests run under; generated once.
wanted=(tr_TR.UTF-8 de_DE.UTF-8)
have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z')
absent=()
for l in "${wanted[@]}"; do
    short=$(echo "${l/UTF-8/utf8}" | tr 'A-Z' 'a-z')
    case " $(echo $have) " in
        *" $short "*) ;;
        *) absent+=("$l") ;;
    esac
done
if [ ${#absent[@]} -gt 0 ]; then
    echo "deps: generating locales ${absent[*]}"
    for l in "${absent[@]}"; do
        "${sudo[@]}" sed -i "s/^# *\($l UTF-8\)/\1/" /etc/locale.gen
        grep -q "^$l UTF-8" /etc/locale.gen || echo "$l UTF-8" | "${sudo[@]}" tee -a /etc/locale.gen > /dev/null
    done
    "${sudo[@]}" locale-gen
fi
