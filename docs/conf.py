"""Sphinx configuration of qorv's documentation.

Build it from the repository's root with

    python3 -m sphinx -W --keep-going -b html docs docs/_build/html

(``bash .ci/docs`` does exactly that). The API pages are generated from
the docstrings of the installed package, and the gallery runs every
``examples/plot_*.py`` script, so ``qorv`` must be installed with its
``docs`` extra first: ``python3 -m pip install '.[docs]'``.
"""
import os
import sys

# Document the installed package, the one users get (with its compiled
# parts), not the source folder that `python3 -m sphinx` run from the
# repository's root would put first on the path.
_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _ROOT]

import qorv  # noqa: E402
from numpydoc.xref import DEFAULT_LINKS  # noqa: E402

project = "qorv"
author = "qorv developers"
copyright = "qorv developers, BSD-3-Clause"
version = release = qorv.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

templates_path = ["_templates"]
exclude_patterns = ["_build", "Thumbs.db", ".DS_Store", "**.ipynb_checkpoints"]
# `name` in the docstrings: a link where the name is documented here, else
# plain code.
default_role = "autolink"

# --- API pages -----------------------------------------------------------
autosummary_generate = True
autodoc_typehints = "none"  # the numpydoc sections state the types
numpydoc_show_class_members = False  # the class template lists the methods
numpydoc_class_members_toctree = False
numpydoc_validation_checks = set()
# The type after each "name :" is read as types, so that names such as
# n_features_in_ in "ndarray of shape (n_terms, n_features_in_)" are not
# taken for reStructuredText link targets.
numpydoc_xref_param_type = True
numpydoc_xref_ignore = {"of", "or", "shape", "default", "optional", "and", "a", "an",
                        "the", "each", "with", "to", "both", "low", "high", "array",
                        "dask", "pandas", "mapping"}
# numpydoc links builtin and NumPy names into Python's and NumPy's own
# documentation, which this build does not fetch: plain names instead of
# unresolvable links ("python:None").
numpydoc_xref_aliases = {name: name for name in DEFAULT_LINKS}

# --- gallery ---------------------------------------------------------------
sphinx_gallery_conf = {
    "examples_dirs": "../examples",
    "gallery_dirs": "auto_examples",
    # plot_*.py are executed; fit_polynomial.py (the core module's own
    # walk-through) is shown on the core module's page instead.
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"fit_polynomial\.py$",
    "within_subsection_order": "FileNameSortKey",
    "download_all_examples": False,
    "remove_config_comments": True,
    "backreferences_dir": "gen_modules/backreferences",
    "doc_module": ("qorv",),
    "reference_url": {"qorv": None},
    "min_reported_time": 1,
    "abort_on_example_error": True,
}

# --- pages -----------------------------------------------------------------
html_theme = "pydata_sphinx_theme"
html_title = f"qorv {release}"
html_theme_options = {
    "navbar_align": "left",
    "show_toc_level": 2,
    "navigation_with_keys": False,
    "secondary_sidebar_items": ["page-toc"],
}
html_sidebars = {"index": [], "install": [], "speed": []}
html_show_sourcelink = False
