// AVX2 copies of 32-lane window panels (see panels.hpp), for the 3 x 32
// micro-kernel: four 8-lane vectors per window position, loaded as the
// 16-lane copy loads its two (unaligned loads at row step 1, even elements
// picked with in-register shuffles at row step 2).
#include <immintrin.h>

#include "conv/kernels/panel_walk.hpp"
#include "conv/kernels/panels.hpp"
#include "simd/avx2.hpp"

namespace kiln::conv {

bool copy_panel32_avx2(const PanelWalk& w, float* dst) {
    return at_step_and_vector<8, 4>(w, [&](auto step, auto cross) {
        copy_vectors<simd::Avx2, 4, step(), cross()>(w, dst);
    });
}

}  // namespace kiln::conv
