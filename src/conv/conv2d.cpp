#include "conv/conv2d.hpp"

namespace kiln::conv {

Buffer<float> conv2d(const View<float>&, const View<float>&, std::uint64_t) {
    throw NotImplemented("conv2d is not implemented yet");
}

}  // namespace kiln::conv
