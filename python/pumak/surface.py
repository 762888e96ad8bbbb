"""Whether an observed surface series can be trusted, decided in one place.

`prepare` and `check` ask `unusable(values)`; `plot`, `ensemble` and `calibrate` ask
`fit_refusal(sd_obs)`, the same rule on the observed surface: a
surface-distance or surface-height series (or the results' ``sd_obs``) that
is absent, holds too few valid hours, or does not move at all (a sensor
that was not connected reads a constant, often zero) is said, never
fitted.
"""

import numpy as np

#: Share of the hours that must hold a finite reading.
MIN_VALID_SHARE = 0.5
#: Fewest finite readings (hours) a series must hold.
MIN_VALID_HOURS = 24
#: Smallest range of the readings (m): a series spanning less is taken as constant.
MIN_RANGE_M = 1e-4


def unusable(values, name="surface"):
    """Why an observed surface series cannot be compared with the model, or None when it can.

    Parameters
    ----------
    values : array_like of float, shape (hours,)
        Hourly surface distance, surface height or observed lowering, in m;
        NaN or infinite where missing.
    name : str
        The series' name, for the reason.

    Returns
    -------
    str or None
        One line starting ``no usable surface observation:``, or None.
    """
    values = np.asarray(values, dtype=np.float64).reshape(-1)
    hours = values.size
    valid = values[np.isfinite(values)]
    prefix = f"no usable surface observation: {name}"
    if valid.size == 0:
        return f"{prefix} holds no value in {hours} hour(s)"
    if valid.size < MIN_VALID_HOURS or valid.size < MIN_VALID_SHARE * hours:
        return (f"{prefix} holds a value in {valid.size} of {hours} hours (at least {MIN_VALID_HOURS} and "
                f"{MIN_VALID_SHARE:.0%} are needed)")
    if float(valid.max() - valid.min()) < MIN_RANGE_M:
        return (f"{prefix} is constant at {float(valid[0]):g} m over the record (a sensor that was not "
                f"connected or did not move)")
    return None


def observed_lowering(met, hours):
    """``sd_obs`` as the model forms it from a met series: 0.1 - ``sd_sensor``, in float32.

    Parameters
    ----------
    met : pandas.DataFrame or dict of array_like
        The site's met columns; ``sd_sensor`` in m.
    hours : int
        The hours the run reads (``n_days * 24``).

    Returns
    -------
    numpy.ndarray of float32, shape (hours,) or shorter
        The observed surface (m), NaN where the sensor is missing.
    """
    sensor = np.asarray(met["sd_sensor"], dtype=np.float32)[:hours]
    return np.float32(0.1) - sensor


def fit_refusal(sd_obs):
    """Why a record cannot judge a fit of the modelled lowering, or None when it can.

    The one rule of `plot`, `ensemble` and `calibrate`: the observed surface
    ``sd_obs`` must be usable (`unusable`).

    Parameters
    ----------
    sd_obs : array_like of float, shape (hours,)
        The observed surface of a results table, or `observed_lowering` of
        the met series, in m.

    Returns
    -------
    str or None
        One line starting ``no usable surface observation: sd_obs``, or None.
    """
    return unusable(sd_obs, "sd_obs")
