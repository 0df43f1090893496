#!/bin/sh
# Builds the per-core floating-point limit tool into the directory given as
# $1 (default build/peak).
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-"$root/build/peak"}
mkdir -p "$out"
${CXX:-g++} -std=c++20 -O2 -ffp-contract=off -Wall -Wextra -pthread "$root/tools/peak/peak.cpp" -o "$out/peak"
