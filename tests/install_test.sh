#!/usr/bin/env bash
# install_test.sh BUILD SOURCE CMAKE GENERATOR CC LIBDIR VERSION sanitize=LIST tools=LIST
#
# Installs the build into a temporary prefix and uses it as a user would: the
# examples built with CMake (find_package(ulmot CONFIG)) and with pkg-config,
# and run; each program and installed tool must load the prefix's libraries,
# never the build tree's, and find the platform-support library that
# libulmot loads at a schedule start. sanitize= is the build's sanitizer
# list: the installed libraries carry it, so the programs are compiled with
# it too.
set -euo pipefail
build=$1 source=$2 cmake=$3 generator=$4 cc=$5 libdir=$6 version=$7
flags=${8#sanitize=}
[ -z "$flags" ] || flags="-fsanitize=$flags -fno-omit-frame-pointer"
IFS=';' read -r -a tools <<<"${9#tools=}"
work=$(realpath "$(mktemp -d "${TMPDIR:-/tmp}/ulmot-install.XXXXXX")")
prefix=$work/prefix lib=$work/prefix/$libdir
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Every libulmot* that the command loads comes from the prefix.
loads_installed() {
    local what=$1 name path
    shift
    while read -r name path; do
        case "$(realpath -m "$path")" in "$lib/"*) ;; *) fail "$what loads $name from '$path'" ;; esac
    done < <("$@" | awk '/libulmot/ {print $1, $3}')
}

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; exit 1; }
for name in ulmot ulmot_transports ulmot_emulator; do
    [ "$(readlink "$lib/lib$name.so")" = "lib$name.so.${version%%.*}" ] || fail "lib$name.so is not the versioned library"
done
for tool in "${tools[@]}"; do
    loads_installed "bin/$tool" ldd "$prefix/bin/$tool"
    "$prefix/bin/$tool" --help >/dev/null 2>&1 || fail "bin/$tool --help exits with $?"
done

# The platform-support library is a module beside libulmot (no SONAME, no
# links), which libulmot loads through its own RUNPATH ($ORIGIN).
missed="Failed to load library"
[ -f "$lib/libvyrplatsupp.so" ] && [ ! -L "$lib/libvyrplatsupp.so" ] || fail "lib/libvyrplatsupp.so is not installed"
if [[ " ${tools[*]} " == *" ulmot "* ]]; then
    # The loader's trace says which file the schedule start loaded.
    code=0
    output=$(LD_DEBUG=files "$prefix/bin/ulmot" inventory --reads 3 2>&1 >/dev/null) || code=$?
    [ "$code" = 0 ] || fail "bin/ulmot inventory exited with $code"
    if grep -q "$missed" <<<"$output"; then fail "bin/ulmot inventory: $(grep "$missed" <<<"$output")"; fi
    loaded=$(awk '/calling init: .*libvyrplatsupp\.so/ {print $NF; exit}' <<<"$output")
    [ "$(realpath -m "${loaded:-none}")" = "$lib/libvyrplatsupp.so" ] || fail "bin/ulmot loads libvyrplatsupp.so from '$loaded'"
    # And it answers: the start is refused while the file exists.
    : >"$work/radio-off"
    code=0
    output=$("$prefix/bin/ulmot" inventory --reads 3 --radio-blocked-file "$work/radio-off" 2>&1 >/dev/null) || code=$?
    [ "$code" = 4 ] && grep -q "Radio is blocked" <<<"$output" ||
        fail "bin/ulmot inventory --radio-blocked-file (the file exists): exit $code: $output"
fi

if "$cmake" -S "$source/examples" -B "$work/cmake" -G "$generator" -DCMAKE_C_COMPILER="$cc" \
        -DCMAKE_C_FLAGS="$flags" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
        >"$work/cmake.log" 2>&1 && "$cmake" --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
    grep -q "^ulmot_DIR:PATH=$lib/cmake/ulmot$" "$work/cmake/CMakeCache.txt" || fail "find_package found another ulmot"
    loads_installed "inventory (CMake)" ldd "$work/cmake/inventory"
    output=$("$work/cmake/inventory" 2>&1) || fail "inventory (CMake) exited with $?: $output"
    grep -q -x "12 tag reports" <<<"$output" || fail "inventory printed: $output"
    if grep -q "$missed" <<<"$output"; then fail "inventory (CMake): $(grep "$missed" <<<"$output")"; fi
else
    cat "$work/cmake.log"
    fail "the examples do not build against the installed package"
fi

export PKG_CONFIG_PATH=$lib/pkgconfig LD_LIBRARY_PATH=$lib
[ "$(pkg-config --modversion ulmot-emulator)" = "$version" ] || fail "pkg-config knows no ulmot-emulator $version"
# shellcheck disable=SC2086 # the flags are words
if "$cc" -std=c11 -Wall -Wextra -Wpedantic -Werror $flags "$source/examples/read_tid.c" -o "$work/read_tid" \
        $(pkg-config --cflags --libs ulmot-emulator ulmot-transports); then
    loads_installed "read_tid (pkg-config)" ldd "$work/read_tid"
    output=$("$work/read_tid" 2>&1) || fail "read_tid exited with $?: $output"
    grep -q -E '^TID [0-9A-F]{24} \(6 words\)$' <<<"$output" || fail "read_tid printed: $output"
else
    fail "read_tid does not build with pkg-config's flags"
fi

if [ "$failures" -eq 0 ]; then rm -rf "$work"; echo "install test passed"; exit 0; fi
echo "$failures failure(s); the work directory stays: $work"
exit 1
