// The hand-over of a finished state to Python: its buffer moves, uncopied,
// into a PySliceContainer that becomes the base of a complex64 ndarray.
#pragma once

#include "object.hpp"
#include "sim/state_vector.hpp"

namespace vastrel::py {

// A one-dimensional complex64 array of the state's amplitudes, stride 8,
// writeable, over the state's own buffer.
Object result_array(sim::StateVector state);

}  // namespace vastrel::py
