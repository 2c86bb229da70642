// set_num_threads(num_threads): fixes the size of the core's worker pool once
// per process and reports it on standard output.
#pragma once

#include "object.hpp"

namespace vastrel::py {

// The built-in function object, bound to `module` (its __self__), with
// __module__ set to the module's name.
Object new_set_num_threads(Handle module);

}  // namespace vastrel::py
