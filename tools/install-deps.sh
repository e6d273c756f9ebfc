#!/bin/sh
# The Debian packages each entry point needs, in one place, and their
# installation when missing: apt-get as root, else through sudo.
#
#   install-deps.sh run|test|ci     install what is missing
#   install-deps.sh --list run|test|ci
#
# run: build pelmorin and convert the sample. test: build and run the whole
# suite, every interoperability test included (GoogleTest, libtiff and its
# tools, netpbm, libpng, qpdf, poppler, ghostscript, groff, pkg-config, and
# Python with pybind11, numpy, Pillow and pytest for the Python module, and
# Slurm with munge for the array job run on a private one-node cluster).
# ci: test plus clang for the sanitizer and fuzz builds and Google Benchmark.
# NO_INSTALL=1 only reports what is missing.
set -eu

RUN_PACKAGES="cmake g++ make"
TEST_PACKAGES="$RUN_PACKAGES libgtest-dev libgmock-dev pkg-config libtiff-dev libtiff-tools netpbm
               libpng-dev qpdf poppler-utils ghostscript groff
               python3-dev pybind11-dev python3-numpy python3-pil python3-pytest slurm-wlm munge"
CI_PACKAGES="$TEST_PACKAGES clang libclang-rt-14-dev libbenchmark-dev"

list=false
if [ "${1:-}" = --list ]; then
    list=true
    shift
fi
case ${1:-} in
    run)  packages=$RUN_PACKAGES ;;
    test) packages=$TEST_PACKAGES ;;
    ci)   packages=$CI_PACKAGES ;;
    *)    echo "usage: $0 [--list] run|test|ci" >&2; exit 2 ;;
esac
if $list; then
    echo $packages
    exit 0
fi

if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "install-deps: not a Debian system; needs: $(echo $packages)" >&2
    exit 0
fi
missing=""
for pkg in $packages; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
        missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0

if [ -n "${NO_INSTALL:-}" ] && [ "${NO_INSTALL}" != 0 ]; then
    echo "install-deps: missing:$missing (NO_INSTALL is set)" >&2
    exit 0
fi
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-deps: missing:$missing; run as root, install sudo, or set NO_INSTALL=1" >&2
        exit 1
    fi
    sudo=sudo
fi
echo "install-deps: installing$missing"
# shellcheck disable=SC2086 # one word per package
$sudo apt-get update -qq
# shellcheck disable=SC2086
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
