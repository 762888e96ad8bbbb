#pragma once

// The C library's single-precision mathematical functions, called by name.
//
// The model's numbers are defined by these functions (powf, expf, sinf, cosf,
// atanf, acosf). Calling them through std::pow and friends lets the compiler
// rewrite pow(x, 2) as x * x and merge sin and cos of one angle into sincos,
// which can change the last bit. These wrappers live in their own translation
// unit, built without those builtins, so every call reaches the library.
namespace pumak::clib {

float pow(float x, float y);
float exp(float x);
float sin(float x);
float cos(float x);
float atan(float x);
float acos(float x);

}  // namespace pumak::clib
