#!/usr/bin/python3
"""Writes a synthetic hourly met record for benchmarking pumak_metrun.

The record runs from 1 January of --year for --days days, one line of 14
values per hour in the layout of the station files: year, month, day, hour,
day of year, then air temperature, wind, relative humidity, global solar
radiation, reflected radiation, longwave down, longwave up, sensor height and
pressure. The weather is made up but plausible for a high-latitude glacier
(polar night, a melt season, noisy hours), and the same arguments always give
the same file, so runs are comparable.

Standard library only. Usage:
    synthetic_met.py --days 3650 --output met.txt
"""

import argparse
import datetime
import math
import random
import sys

SIGMA = 5.67e-8
T_MELT = 273.15


def records(days, year, seed):
    rng = random.Random(seed)
    start = datetime.date(year, 1, 1)
    sensor = 1.5
    weather = 0.0  # slowly varying anomaly, degC
    for d in range(days):
        date = start + datetime.timedelta(days=d)
        doy = date.timetuple().tm_yday
        season = math.cos(2.0 * math.pi * (doy - 200) / 365.25)  # 1 in mid July
        weather = 0.9 * weather + rng.gauss(0.0, 1.0)
        for hour in range(1, 25):
            daylight = math.sin(math.pi * (hour - 4) / 18.0)
            ta = -12.0 + 15.0 * season + 2.5 * daylight * max(season, 0.0) + weather
            ta += rng.gauss(0.0, 0.4)
            sun_height = max(0.0, 0.35 * season + 0.25 * daylight)
            sr = 900.0 * sun_height * rng.uniform(0.55, 1.0)
            reflected = sr * rng.uniform(0.45, 0.75)
            ts = min(ta - 1.0, 0.0) + T_MELT
            lw_up = SIGMA * ts**4 + rng.uniform(-1.5, 2.5)  # a melting surface reaches 0 degC
            lw_down = 0.75 * SIGMA * (ta + T_MELT) ** 4 + rng.uniform(-20.0, 40.0)
            if ta > 0.0:
                sensor += 0.0004 * ta  # the surface melts away from the sensor
            yield (
                f"{date.year} {date.month} {date.day} {hour} {doy} "
                f"{ta:.2f} {rng.uniform(0.5, 12.0):.2f} {rng.uniform(0.55, 0.98):.4f} "
                f"{sr:.2f} {reflected:.2f} {lw_down:.2f} {lw_up:.2f} {sensor:.4f} "
                f"{rng.uniform(955.0, 985.0):.2f}\n"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--days", type=int, default=3650)
    parser.add_argument("--year", type=int, default=2001)
    parser.add_argument("--seed", type=int, default=6)
    parser.add_argument("--output", default="-")
    args = parser.parse_args()
    out = sys.stdout if args.output == "-" else open(args.output, "w", encoding="ascii")
    with out:
        chunk = []
        for line in records(args.days, args.year, args.seed):
            chunk.append(line)
            if len(chunk) == 4096:
                out.write("".join(chunk))
                chunk.clear()
        out.write("".join(chunk))


if __name__ == "__main__":
    main()
