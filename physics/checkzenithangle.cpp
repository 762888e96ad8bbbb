#include "physics/checkzenithangle.hpp"
#include "physics/single_math.hpp"

namespace pumak {

void checkzenithangle(float pi, float cryoconite_depth, float cryoconite_diameter,
                      float& cryo_angle, float& sky_view) {
  if (cryoconite_depth > 0.0f) {
    // Zenith angle of the rim seen from the centre of the floor.
    cryo_angle = clib::atan((cryoconite_diameter / 2.0f) / cryoconite_depth);
    // View factor of the opening, in the cosine form.
    sky_view = 1.0f - clib::pow(clib::cos(cryo_angle), 2.0f);
  } else {
    // No hole (depth 0, negative or NaN): the floor sees the whole sky.
    cryo_angle = 0.5f * pi;
    sky_view = 1.0f;
  }
}

}  // namespace pumak
