#!/bin/sh
# Compiler launcher for every build of the test command: ccache when its
# cache folder can be written, the compiler alone when it cannot (a cache
# on a full disk is ccache's own business: it then compiles without
# storing). A cache is there to save time, never to fail a build.
dir=${CCACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/ccache}
if command -v ccache > /dev/null 2>&1 && mkdir -p "$dir" 2> /dev/null && [ -w "$dir" ]; then
  exec ccache "$@"
fi
exec "$@"
