#!/bin/sh
# Starts Quorvane from its application folder, <prefix>/lib/quorvane, where it
# finds the files it looks for beside itself.
here=$(dirname "$(readlink -f "$0")")
exec "$here/../lib/quorvane/quorvane" "$@"
