#include "physics/single_math.hpp"

#include <math.h>

namespace pumak::clib {

float pow(float x, float y) { return ::powf(x, y); }
float exp(float x) { return ::expf(x); }
float sin(float x) { return ::sinf(x); }
float cos(float x) { return ::cosf(x); }
float atan(float x) { return ::atanf(x); }
float acos(float x) { return ::acosf(x); }

}  // namespace pumak::clib
