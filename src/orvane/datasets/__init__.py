"""Example series shipped with the package."""

from importlib import resources

import pandas as pd

__all__ = ["load_airline"]


def load_airline():
    """Monthly international airline passengers, January 1949 to December 1960.

    Returns
    -------
    pandas.DataFrame
        144 rows with the columns ``Date`` (``"YYYY-MM"`` strings) and ``Passengers``
        (thousands of passengers, float).
    """
    with resources.files(__package__).joinpath("data/airline.csv").open("r") as handle:
        frame = pd.read_csv(handle, dtype={"Date": str})
    frame["Passengers"] = frame["Passengers"].astype(float)
    return frame
