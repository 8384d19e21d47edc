#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up: a paired companion
# listens on every interface, and in here every interface is loopback.
set -eu
if [ "${VIGILORB_PRIVATE_NETWORK:-}" != 1 ]; then
  export VIGILORB_PRIVATE_NETWORK=1
  exec unshare --net --fork --kill-child -- "$0" "$@"
fi
ip link set lo up
exec "$@"
