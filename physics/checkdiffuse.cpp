#include "physics/checkdiffuse.hpp"

namespace pumak {

void checkdiffuse(float& fraction) {
  if (fraction < 0.0f) {
    fraction = 0.0f;
  }
  if (fraction > 1.0f) {
    fraction = 1.0f;
  }
}

}  // namespace pumak
