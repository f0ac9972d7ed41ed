#!/bin/bash
# Builds the Debian packages the host tests install, in their own release
# build directory below the test build directory (incremental after the
# first run).
set -u
if ((EUID != 0)); then
    echo "SKIP: the host tests need root"
    exit 77
fi
source_dir=${DC_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
exec "$source_dir/scripts/package" "${DC_BUILD_DIR:-$source_dir/build}/host-packages"
