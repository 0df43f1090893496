// Runtime choice of the instruction set for the SIMD kernels.
//
// One binary runs on any x86-64 machine: each kernel family has a portable
// form and forms compiled for AVX2 and AVX-512 in their own files, and its
// table (src/tables) is filled with the widest one this CPU supports.
//
// The environment variable KILN_KERNELS_ISA ("scalar", "avx2" or "avx512"),
// read once, caps the choice; tests use it to run each form in turn. It
// never selects an instruction set the CPU lacks.
#pragma once

#include <cstddef>

namespace kiln {

// avx2 also needs FMA3, and avx512 needs F, BW, DQ and VL (and FMA3).
enum class Isa { scalar = 0, avx2 = 1, avx512 = 2 };

// The instruction set the kernels use in this process.
Isa active_isa() noexcept;

// What the CPU reports about itself, for choosing kernel shapes and block
// sizes (never results). Sizes are in bytes, per core: a cache shared by
// several logical processors counts for its share of one. 0 when unknown.
struct CpuInfo {
    bool amd = false;
    bool intel = false;
    // The core executes each 256-bit vector operation as two 128-bit halves
    // (AMD's performance hint FP128, CPUID 0x8000001A: the first Zen cores).
    bool fp128 = false;
    std::size_t l1d = 0, l2 = 0, l3 = 0;
};

// Read once, from CPUID (L1d and L2 from the C library where CPUID tells
// nothing).
const CpuInfo& cpu_info() noexcept;

// The size of one core's L2 cache in bytes, as the processor reports it
// (256 KiB when it reports none).
std::size_t l2_cache_bytes() noexcept;

}  // namespace kiln
