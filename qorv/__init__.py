"""Polynomial regression whose size and smoothness are judged together.

`PolynomialRegressor` is a scikit-learn estimator for one or several input
variables over the native core `qorv_core`; ``python -m qorv`` fits a CSV
file from the command line.
"""
from ._estimator import EdgeWarning, PolynomialRegressor, RankWarning, SearchWarning

__version__ = "0.1.0"

__all__ = ["EdgeWarning", "PolynomialRegressor", "RankWarning", "SearchWarning",
           "__version__"]
