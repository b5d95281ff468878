#!/bin/sh
# Builds Ferrowick and runs every test. On a fresh Debian 12 that has no make
# yet, installs it first; the Makefile then installs everything else it needs.
set -eu
cd "$(dirname "$0")"
. ./.ci/need-make.sh
exec make test "$@"
