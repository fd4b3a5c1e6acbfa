#!/bin/sh
# Runs a command in a network namespace of its own with only a loopback, up: end-to-end suites
# bind the test host's fixed port, so each gets a loopback of its own and they run side by side
# (and beside any other run on the machine). Unprivileged, through a user namespace.
set -e
if [ "$(id -u)" = 0 ]; then flags=-n; else flags=-rn; fi
exec unshare $flags sh -c 'ip link set lo up && exec "$@"' sh "$@"
