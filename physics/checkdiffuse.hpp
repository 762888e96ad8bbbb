#pragma once

namespace pumak {

/**
 * Limits a fraction to the range 0..1.
 *
 * @param[in,out] fraction a fraction of the global radiation (-).
 *
 * A value less than 0 (-infinity included) becomes 0; then a value greater
 * than 1 (+infinity included) becomes 1. Both tests are strict, so 0, -0 and
 * 1 stay as they are, and NaN passes unchanged.
 *
 * Basis: a share of the global radiation lies between none and all of it.
 **********************************************************************/
void checkdiffuse(float& fraction);

}  // namespace pumak
