#!/usr/bin/env bash
# check_exports.sh LIBRARY INCLUDE_DIR
# Fails when the shared library exports a name outside the public families,
# misses a name that a public header declares with ULMOT_API, or has an
# unexpected SONAME. NM and OBJDUMP name the toolchain's tools (default nm and
# objdump; a cross build passes the target's).
set -eu
nm=${NM:-nm} objdump=${OBJDUMP:-objdump}
defined=$("$nm" -D --defined-only "$1" | awk '{print $3}' | sort -u)
declared=$(grep -hE '^ULMOT_API' "$2"/ulmot/*.h | sed -E 's/\(.*//; s/.*[ *]([A-Za-z_0-9]+)$/\1/' | sort -u)
stray=$(grep -v -E '^(ulmot_|streams_buf_init$|allocb$|dupb$|freeb$|freemsg$|linkb$|unlinkb$|rmvb$|dupmsg$|copyb$|copymsg$|msgdsize$|adjmsg$|_init$|_fini$|_edata$|_end$|__bss_start$)' <<<"$defined" || true)
missing=$(comm -23 <(echo "$declared") <(echo "$defined"))
soname=$("$objdump" -p "$1" | awk '/SONAME/ {print $2}')
[ -n "$declared" ] || echo "no ULMOT_API declaration found under $2"
[ -z "$stray" ] || echo "exported by mistake: $stray"
[ -z "$missing" ] || echo "not exported: $missing"
[[ "$soname" == libulmot.so.[0-9]* ]] || echo "unexpected SONAME: '$soname'"
[ -n "$declared" ] && [ -z "$stray$missing" ] && [[ "$soname" == libulmot.so.[0-9]* ]] &&
  echo "$(wc -l <<<"$defined") symbols exported, $(wc -l <<<"$declared") declared, SONAME $soname"
