#!/bin/sh
# Installs the build tree into a fresh prefix, then builds and runs a small
# library user against it: "cmake" through find_package(tavrin), "pkgconfig"
# through tavrin.pc, "tree" installs only. "headers" compiles each installed
# header alone, "exports" checks that the shared library exports exactly the
# functions the headers mark TAVRIN_API, "readme" builds and runs the
# README's example program.
# Usage: check_install.sh tree|cmake|pkgconfig|headers|exports|readme BUILD_DIR WORK_DIR CXX SAMPLE [CXXFLAGS]
set -eu
step=$1 build=$2 work=$3 cxx=$4 sample=$5 flags=${6:-}
prefix=$work/prefix
here=$(dirname "$0")
cmake=${CMAKE:-cmake}

check_output() {
    out=$("$1" "$sample")
    printf '%s\n' "$out"
    expected=$(printf 'page 1: 1106 lines\npage 2: 1106 lines\n2 pages')
    [ "$out" = "$expected" ] || { echo "expected:"; printf '%s\n' "$expected"; exit 1; }
}

case $step in
tree)
    rm -rf "$work"
    "$cmake" --install "$build" --prefix "$prefix" >/dev/null
    for f in bin/pelmorin include/tavrin/t4/t4dec.h include/tavrin/faxfile/fax_header.h \
             share/man/man1/pelmorin.1; do
        [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
    done
    if [ -e "$build/faxtool/faxtool" ]; then
        for f in bin/faxtool share/man/man1/faxtool.1; do
            [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
        done
    fi
    ls "$prefix"/lib*/libtavrin.a "$prefix"/lib*/pkgconfig/tavrin.pc "$prefix"/lib*/cmake/tavrin/tavrinConfig.cmake
    # The Python package goes under the prefix, where Debian's Python finds it.
    if ls "$build"/python/site/tavrin/_tavrin*.so >/dev/null 2>&1; then
        site=$(ls -d "$prefix"/lib*/python3*/dist-packages 2>/dev/null | head -n 1)
        [ -n "$site" ] && [ -e "$site/tavrin/__init__.py" ] ||
            { echo "the Python package is not installed under $prefix"; exit 1; }
        ls "$site"/tavrin/_tavrin*.so
    fi
    # The shared library carries its major version in its SONAME.
    so=$(ls "$prefix"/lib*/libtavrin.so)
    soname=$(objdump -p "$so" | awk '$1 == "SONAME" { print $2 }')
    [ "$soname" = libtavrin.so.9 ] || { echo "SONAME is '$soname', not libtavrin.so.9"; exit 1; }
    [ -e "$(dirname "$so")/$soname" ] || { echo "$soname is not installed"; exit 1; }
    # The converter's driver is pelmorin's own, in neither library.
    if nm -C --defined-only "$prefix"/lib*/libtavrin.a "$so" 2>/dev/null | grep -E ' (pelmorin|paint_run|end_of_line)\b'; then
        echo "the converter's driver is in the library"; exit 1
    fi
    # Only the public headers: no internals, no converter driver.
    found=$(cd "$prefix/include/tavrin" && find . -name '*.h' | sed 's|^\./||' | sort | tr '\n' ' ')
    expected="faxfile/fax_file.h faxfile/fax_header.h raster/sunraster.h t4/enct4.h t4/page_rows.h t4/t4dec.h util/api.h util/message.h "
    [ "$found" = "$expected" ] || { echo "installed headers: $found"; echo "expected: $expected"; exit 1; }
    ;;
headers)
    for h in $(cd "$prefix/include" && find tavrin -name '*.h' | sort); do
        printf '#include <%s>\n' "$h" > "$work/alone.cpp"
        "$cxx" -std=c++20 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" \
            -I"$prefix/include/tavrin" "$work/alone.cpp" || { echo "$h does not compile alone"; exit 1; }
        echo "$h: compiles alone"
    done
    ;;
exports)
    so=$(ls "$prefix"/lib*/libtavrin.so)
    nm -D --defined-only "$so" | awk '{ print $3 }' | sed 's/@.*//' | sort -u > "$work/exported"
    # Declarations marked TAVRIN_API: the name before the first '(' or the ';'.
    cat "$prefix"/include/tavrin/*/*.h | sed 's|//.*||; s|/\*.*\*/||; /#define/d' | tr '\n' ' ' | tr ';' '\n' | grep 'TAVRIN_API ' |
        sed 's/.*TAVRIN_API //; s/(.*//; s/.*[ *]\([A-Za-z_][A-Za-z_0-9]*\) *$/\1/' | sort -u > "$work/declared"
    grep -v -x -e TAVRIN_9 "$work/exported" > "$work/exported.api" || true
    if ! diff "$work/declared" "$work/exported.api"; then
        echo "< marked TAVRIN_API but not exported, > exported but not public"
        exit 1
    fi
    echo "$(wc -l < "$work/declared") functions and variables exported, nothing else"
    ;;
readme)
    readme=$here/../../README.md
    # The program between the README's marker comment and the end of its code block.
    awk '/<!-- example: decode every page -->/ { on = 1; next } on && /^```cpp/ { next } on && /^```/ { exit } on' \
        "$readme" > "$work/readme_example.cpp"
    lines=$(wc -l < "$work/readme_example.cpp")
    [ "$lines" -gt 5 ] && [ "$lines" -lt 30 ] || { echo "README example: $lines lines"; exit 1; }
    pcdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/tavrin.pc)")
    # shellcheck disable=SC2046 # the flags are words
    "$cxx" -std=c++20 $flags -o "$work/readme_example" "$work/readme_example.cpp" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tavrin)
    out=$(LD_LIBRARY_PATH=$(dirname "$(ls "$prefix"/lib*/libtavrin.so)") "$work/readme_example" "$sample")
    printf '%s\n' "$out"
    [ "$(printf '%s\n' "$out" | grep -c '^page [12]: 1100 rows')" = 2 ] || { echo "unexpected output"; exit 1; }
    ;;
cmake)
    rm -rf "$work/cmake"
    "$cmake" -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
    "$cmake" --build "$work/cmake" >/dev/null
    check_output "$work/cmake/consumer"
    check_output "$work/cmake/consumer_static"
    ;;
pkgconfig)
    pcdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/tavrin.pc)")
    # shellcheck disable=SC2046 # the flags are words
    "$cxx" -std=c++20 $flags -o "$work/consumer-pc" "$here/consumer.cpp" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tavrin)
    # tavrin.pc names the shared library.
    readelf -d "$work/consumer-pc" | grep -q 'NEEDED.*libtavrin\.so\.9' || { echo "not linked to libtavrin.so.9"; exit 1; }
    LD_LIBRARY_PATH=$(dirname "$(ls "$prefix"/lib*/libtavrin.so)")
    export LD_LIBRARY_PATH
    check_output "$work/consumer-pc"
    ;;
*)
    echo "unknown step $step"; exit 2 ;;
esac
