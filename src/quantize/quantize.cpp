#include "quantize/quantize.hpp"

namespace kiln::quantize {

Quantized quantize_int8(const View<float>&) {
    throw NotImplemented("quantize_int8 is not implemented yet");
}

Buffer<float> dequantize_int8(const View<std::int8_t>&, float) {
    throw NotImplemented("dequantize_int8 is not implemented yet");
}

}  // namespace kiln::quantize
