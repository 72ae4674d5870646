#!/usr/bin/env bash
# install_test.sh BUILD SOURCE CMAKE GENERATOR CC LIBDIR VERSION sanitize=LIST tools=LIST
#
# Installs the build into a temporary prefix, then uses that prefix as a user
# would: builds examples/ with CMake (find_package(ulmot CONFIG)) and runs
# one, builds another with pkg-config and runs it. Each program must load the
# installed libraries, never the build tree's. tools= lists (;-separated) the
# executables that the build installs into bin/. sanitize= is the build's
# sanitizer list (may be empty): the installed libraries carry it, so the
# programs built here are compiled with it too.
set -euo pipefail
build=$1 source=$2 cmake=$3 generator=$4 cc=$5 libdir=$6 version=$7
sanitize=${8#sanitize=}
IFS=';' read -r -a tools <<<"${9#tools=}"

work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/ulmot-install.XXXXXX")")
prefix=$work/prefix
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
finish() {
    if [ "$failures" -eq 0 ]; then rm -rf "$work"; echo "install test passed"; exit 0; fi
    echo "$failures failure(s); the work directory stays: $work"; exit 1
}

flags=""
if [ -n "$sanitize" ]; then flags="-fsanitize=$sanitize -fno-omit-frame-pointer"; fi

# Every libulmot* that `program` loads (with the environment given before it)
# must come from the prefix.
loads_installed() {
    local what=$1; shift
    local resolved
    resolved=$("$@" | awk '/libulmot/ {print $1, $3}')
    if [ -z "$resolved" ]; then fail "$what: loads no libulmot"; return; fi
    while read -r name path; do
        path=$(realpath -m "$path") # a RUNPATH of $ORIGIN/../lib leaves bin/.. in it
        case "$path" in
            "$prefix/$libdir/"*) ;;
            *) fail "$what: $name resolves to '$path', not to the prefix" ;;
        esac
    done <<<"$resolved"
}

echo "== cmake --install $build --prefix $prefix"
"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || {
    cat "$work/install.log"; fail "cmake --install"; finish; }

echo "== what is installed"
for header in ulmot.h ulmot/buffers.h ulmot/items.h ulmot/session.h ulmot/processors.h \
              ulmot/objects.h utr.h uemu.h; do
    [ -f "$prefix/include/$header" ] || fail "header include/$header missing"
done
major=${version%%.*}
for lib in ulmot ulmot_transports ulmot_emulator; do
    real=$prefix/$libdir/lib$lib.so.$version
    [ -f "$real" ] && [ ! -L "$real" ] || { fail "lib$lib.so.$version missing"; continue; }
    [ "$(readlink "$prefix/$libdir/lib$lib.so.$major")" = "lib$lib.so.$version" ] ||
        fail "lib$lib.so.$major does not point at lib$lib.so.$version"
    [ "$(readlink "$prefix/$libdir/lib$lib.so")" = "lib$lib.so.$major" ] ||
        fail "lib$lib.so does not point at lib$lib.so.$major"
    soname=$(objdump -p "$real" | awk '/SONAME/ {print $2}')
    [ "$soname" = "lib$lib.so.$major" ] || fail "lib$lib: SONAME '$soname'"
done
# The host libraries export their C interface only, and load the prefix's libulmot.
for pair in ulmot_transports:utr_ ulmot_emulator:uemu_; do
    lib=${pair%%:*} family=${pair##*:}
    stray=$(nm -D --defined-only "$prefix/$libdir/lib$lib.so.$major" | awk '{print $3}' |
            grep -v -E "^($family|_init$|_fini$|_edata$|_end$|__bss_start$)" || true)
    [ -z "$stray" ] || fail "lib$lib exports more than $family*: $(echo $stray | head -c 200)"
    loads_installed "lib$lib" ldd "$prefix/$libdir/lib$lib.so.$major"
done
for file in cmake/ulmot/ulmotConfig.cmake cmake/ulmot/ulmotConfigVersion.cmake \
            cmake/ulmot/ulmotTargets.cmake pkgconfig/ulmot.pc pkgconfig/ulmot-transports.pc \
            pkgconfig/ulmot-emulator.pc; do
    [ -f "$prefix/$libdir/$file" ] || fail "$libdir/$file missing"
done
for tool in "${tools[@]}"; do
    [ -x "$prefix/bin/$tool" ] || { fail "bin/$tool missing"; continue; }
    loads_installed "bin/$tool" ldd "$prefix/bin/$tool"
    # It starts from the prefix, without LD_LIBRARY_PATH (its RUNPATH).
    "$prefix/bin/$tool" --help >/dev/null 2>&1 || fail "bin/$tool --help exits with $?"
done
strays=$(cd "$prefix" && find . \( -name 'test_*' -o -name '*_test' -o -name '*bench*' \
         -o -name '*.a' -o -name '*vyrplatsupp*' \) -print)
[ -z "$strays" ] || fail "installed but not meant to be: $strays"

echo "== examples with CMake: find_package(ulmot CONFIG)"
if "$cmake" -S "$source/examples" -B "$work/cmake-build" -G "$generator" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$flags" -DCMAKE_PREFIX_PATH="$prefix" \
        -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF >"$work/configure.log" 2>&1 &&
   "$cmake" --build "$work/cmake-build" >"$work/build.log" 2>&1; then
    found=$(sed -n 's/^ulmot_DIR:PATH=//p' "$work/cmake-build/CMakeCache.txt")
    [ "$found" = "$prefix/$libdir/cmake/ulmot" ] || fail "find_package found '$found'"
    program=$work/cmake-build/inventory
    if readelf -d "$program" | grep -E 'R(UN)?PATH' | grep -q -F "$build"; then
        fail "inventory's RUNPATH names the build tree"
    fi
    loads_installed "inventory (CMake)" ldd "$program"
    if output=$("$program" 2>"$work/inventory.err"); then
        grep -q -x "12 tag reports" <<<"$output" || fail "inventory printed: $output"
        [ "$(grep -c ' EPC [0-9A-F]\{24\}$' <<<"$output")" -eq 12 ] ||
            fail "inventory did not print 12 EPCs: $output"
    else
        fail "inventory (CMake) exited with $?: $output $(cat "$work/inventory.err")"
    fi
else
    cat "$work/configure.log" "$work/build.log" 2>/dev/null || true
    fail "the examples do not build against the installed package"
fi

echo "== an example with pkg-config"
command -v pkg-config >/dev/null || { fail "pkg-config is not installed (apt-get install pkg-config)"; finish; }
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
modversion=$(pkg-config --modversion ulmot-emulator 2>&1) || fail "pkg-config ulmot-emulator: $modversion"
[ "$modversion" = "$version" ] || fail "pkg-config says version '$modversion'"
pcflags=$(pkg-config --cflags --libs ulmot-emulator ulmot-transports)
grep -q -e "-I$prefix/include" <<<"$pcflags" || fail "pkg-config flags lack the prefix: $pcflags"
program=$work/read_tid
# shellcheck disable=SC2086 # the flags are words
if "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror $flags "$source/examples/read_tid.c" \
        -o "$program" $pcflags 2>"$work/cc.log"; then
    # No RUNPATH in a program built this way: the loader finds the prefix's
    # libraries through LD_LIBRARY_PATH.
    loads_installed "read_tid (pkg-config)" env LD_LIBRARY_PATH="$prefix/$libdir" ldd "$program"
    if output=$(LD_LIBRARY_PATH="$prefix/$libdir" "$program" 2>"$work/read_tid.err"); then
        grep -q -E '^TID [0-9A-F]{24} \(6 words\)$' <<<"$output" || fail "read_tid printed: $output"
    else
        fail "read_tid (pkg-config) exited with $?: $output $(cat "$work/read_tid.err")"
    fi
else
    cat "$work/cc.log"
    fail "read_tid does not build with pkg-config's flags"
fi

finish
