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
$CXX $flags -c "$root/src/activations/kernels/exp-scalar.cpp" -o "$out/exp-scalar.o"
$CXX $flags -mavx2 -mfma -c "$root/src/activations/kernels/exp-avx2.cpp" -o "$out/exp-avx2.o"
$CXX $flags -mavx2 -mfma -c "$root/src/activations/kernels/softmax-avx2.cpp" -o "$out/softmax-avx2.o"
$CXX $flags -mavx512f -mavx512bw -mavx512dq -mavx512vl -mno-fma \
    -c "$root/src/activations/kernels/exp-avx512.cpp" -o "$out/exp-avx512.o"
# The checker's __float128 literals (suffix Q) need the GNU dialect.
$CXX $flags -std=gnu++20 "$root/tools/expf_check/check_expf.cpp" \
    "$out/exp-scalar.o" "$out/exp-avx2.o" "$out/softmax-avx2.o" "$out/exp-avx512.o" -o "$out/check_expf" -pthread
