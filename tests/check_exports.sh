#!/usr/bin/env bash
# check_exports.sh LIBRARY EXPECTED_LIST
# Fails when the shared library exports a name outside the public families,
# misses a name of the list, or has an unexpected SONAME.
set -eu
defined=$(nm -D --defined-only "$1" | awk '{print $3}' | sort -u)
stray=$(grep -v -E '^(ulmot_|streams_buf_init$|allocb$|dupb$|freeb$|freemsg$|linkb$|unlinkb$|rmvb$|dupmsg$|copyb$|copymsg$|msgdsize$|adjmsg$|_init$|_fini$|_edata$|_end$|__bss_start$)' <<<"$defined" || true)
missing=$(comm -23 <(grep -v '^#' "$2" | sort -u) <(echo "$defined"))
soname=$(objdump -p "$1" | awk '/SONAME/ {print $2}')
[ -z "$stray" ] || echo "exported by mistake: $stray"
[ -z "$missing" ] || echo "not exported: $missing"
[[ "$soname" == libulmot.so.[0-9]* ]] || echo "unexpected SONAME: '$soname'"
[ -z "$stray$missing" ] && [[ "$soname" == libulmot.so.[0-9]* ]] && echo "$(wc -l <<<"$defined") symbols exported, SONAME $soname"
