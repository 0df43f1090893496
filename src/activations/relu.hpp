// Element-wise rectifier: v if v > +0.0, else +0.0.
#pragma once

#include "core/array.hpp"

namespace kiln::activations {

Buffer<float> relu(const View<float>& x);

}  // namespace kiln::activations
