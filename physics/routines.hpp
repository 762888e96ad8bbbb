#pragma once

// The radiation and atmosphere routines, one header each. Every routine is
// one operation on scalars: inputs by value, outputs written through
// references, nothing kept between calls and no error reporting. Each
// header states the units, the direction and the special-value rules of its
// arguments.
#include "physics/checkdiffuse.hpp"
#include "physics/checkzenithangle.hpp"
#include "physics/const_init.hpp"
#include "physics/diffuse.hpp"
#include "physics/toprad.hpp"
#include "physics/transmit.hpp"
#include "physics/vapor.hpp"
