#!/bin/sh
# The UEFI start-up code never runs global constructors: refuse an image that has any.
set -e
if objdump -h "$1" | grep -Eq '\.(init_array|ctors|preinit_array)'; then
    echo "error: $1 has global constructors (.init_array/.ctors); the UEFI start-up code never runs them" >&2
    exit 1
fi
