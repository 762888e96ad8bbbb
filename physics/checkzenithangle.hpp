#pragma once

namespace pumak {

/**
 * Wall angle of the hole and sky-view factor of its floor, seen from the
 * centre of the floor of a vertical cylinder.
 *
 * @param[in] pi the value of pi (-).
 * @param[in] cryoconite_depth depth of the hole (mm; any unit shared with
 *   the diameter).
 * @param[in] cryoconite_diameter diameter of the hole (mm).
 * @param[out] cryo_angle zenith angle of the rim seen from the floor centre,
 *   measured from the vertical (radians).
 * @param[out] sky_view share of the sky hemisphere that the floor centre
 *   sees through the opening (fraction 0..1).
 *
 * For cryoconite_depth > 0: cryo_angle = atan((diameter / 2) / depth) and
 * sky_view = 1 - cos(cryo_angle)^2 (equal to sin^2, computed in the cosine
 * form). No hole for a depth <= 0 or NaN: cryo_angle = 0.5 * pi and
 * sky_view = 1. A diameter of 0 with a positive depth gives 0 and 0; a depth
 * so small that the quotient overflows gives the no-hole values; a NaN
 * diameter with a positive depth gives NaN for both.
 *
 * Basis: view factor of a circular opening from the centre of a disc below
 * it on the same axis, sin^2 of the opening's half-angle.
 **********************************************************************/
void checkzenithangle(float pi, float cryoconite_depth, float cryoconite_diameter,
                      float& cryo_angle, float& sky_view);

}  // namespace pumak
