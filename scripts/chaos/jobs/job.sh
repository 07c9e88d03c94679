#!/bin/sh
# A shell job that becomes the binary job by exec: RECORDS KEY MILLISECONDS
exec "$(dirname "$0")/chaosjob" "$@"
