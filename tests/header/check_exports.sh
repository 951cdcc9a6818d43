#!/bin/sh
# Checks the dynamic symbol table of libwisam.so: nothing but names of the C
# interface is exported, and every call defined so far is there.
#   check_exports.sh LIBRARY DEFINED_LIST   (the interface list sits beside it)
set -eu
library=$1
defined=$2
interface=$(dirname "$defined")/interface.txt
exported=$(mktemp)
trap 'rm -f "$exported"' EXIT
nm -D --defined-only "$library" | awk '$2 != "U" {print $3}' | sed 's/@.*//' | sort -u > "$exported"
status=0
extra=$(grep -vxF -f "$interface" "$exported" || true)
if [ -n "$extra" ]; then
    echo "exported but not part of the interface:"; echo "$extra"; status=1
fi
missing=$(sort -u "$defined" | grep -vxF -f "$exported" || true)
if [ -n "$missing" ]; then
    echo "defined calls missing from the library:"; echo "$missing"; status=1
fi
[ $status -eq 0 ] && echo "exports: $(wc -l < "$exported") names, all of the interface"
exit $status
