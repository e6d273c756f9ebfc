#!/bin/sh
# Installs the build tree into a fresh prefix, then builds and runs a small
# library user against it: "cmake" through find_package(tavrin), "pkgconfig"
# through tavrin.pc, "tree" installs only.
# Usage: check_install.sh tree|cmake|pkgconfig BUILD_DIR WORK_DIR CXX SAMPLE [CXXFLAGS]
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
    ;;
cmake)
    rm -rf "$work/cmake"
    "$cmake" -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
    "$cmake" --build "$work/cmake" >/dev/null
    check_output "$work/cmake/consumer"
    ;;
pkgconfig)
    pcdir=$(dirname "$(ls "$prefix"/lib*/pkgconfig/tavrin.pc)")
    # shellcheck disable=SC2046 # the flags are words
    "$cxx" $flags -o "$work/consumer-pc" "$here/consumer.cpp" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tavrin)
    check_output "$work/consumer-pc"
    ;;
*)
    echo "unknown step $step"; exit 2 ;;
esac
