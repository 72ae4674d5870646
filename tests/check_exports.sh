#!/usr/bin/env bash
# check_exports.sh LIBRARY EXPECTED_LIST
# Fails when the shared library exports a name outside the public families, or
# misses a name of the list.
set -eu
lib=$1
list=$2
defined=$(nm -D --defined-only "$lib" | awk '{print $3}' | sort -u)
stray=$(echo "$defined" | grep -v -E '^(ulmot_|streams_buf_init$|allocb$|dupb$|freeb$|freemsg$|linkb$|unlinkb$|rmvb$|dupmsg$|copyb$|copymsg$|msgdsize$|adjmsg$|_init$|_fini$|_edata$|_end$|__bss_start$)' || true)
missing=$(comm -23 <(grep -v '^#' "$list" | sort -u) <(echo "$defined"))
status=0
if [ -n "$stray" ]; then echo "exported by mistake: $stray"; status=1; fi
if [ -n "$missing" ]; then echo "not exported: $missing"; status=1; fi
soname=$(objdump -p "$lib" | awk '/SONAME/ {print $2}')
case "$soname" in libulmot.so.[0-9]*) ;; *) echo "unexpected SONAME: '$soname'"; status=1 ;; esac
[ $status -eq 0 ] && echo "$(echo "$defined" | wc -l) symbols exported, SONAME $soname"
exit $status
