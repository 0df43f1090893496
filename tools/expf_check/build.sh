#!/bin/sh
# Builds the exponential checker into the directory given as $1 (default
# build/expf_check), compiling the module's exponential sources with the
# same floating-point flags as the module itself.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-"$root/build/expf_check"}
mkdir -p "$out"
CXX=${CXX:-g++}
flags="-std=c++20 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Wno-maybe-uninitialized -I$root/src"
$CXX $flags -c "$root/src/activations/expf-scalar.cpp" -o "$out/expf-scalar.o"
$CXX $flags -mavx2 -mno-fma -c "$root/src/activations/expf-avx2.cpp" -o "$out/expf-avx2.o"
$CXX $flags -mavx512f -mavx512bw -mavx512dq -mavx512vl -mno-fma \
    -c "$root/src/activations/expf-avx512.cpp" -o "$out/expf-avx512.o"
# The checker's __float128 literals (suffix Q) need the GNU dialect.
$CXX $flags -std=gnu++20 "$root/tools/expf_check/check_expf.cpp" \
    "$out/expf-scalar.o" "$out/expf-avx2.o" "$out/expf-avx512.o" -o "$out/check_expf" -pthread
