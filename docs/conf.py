"""Sphinx configuration of pumak's documentation site.

Build it with tools/build_docs.sh (into docs/_build/html). The Markdown pages
in this folder are read by myst-parser, the API reference comes from the
numpydoc docstrings of the package, and the examples in gallery/ are run at
build time by sphinx-gallery (into auto_examples/, which is not committed).
The package is imported as the build's interpreter finds it: installed in a
virtual environment, or from python/ with its compiled core built in place.
"""
import os
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
if os.environ.get("PUMAK_DOCS_IN_PLACE") == "1":
    sys.path.insert(0, str(ROOT / "python"))

from sphinx_gallery.sorting import FileNameSortKey  # noqa: E402

import pumak  # noqa: E402  (after the path, so the in-place package is the one documented)

project = "pumak"
author = "the pumak developers"
copyright = "the pumak developers"
release = version = pumak.__version__

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build", "gallery/README.txt", "**/README.md"]
# The site is built and read offline: nothing is fetched (no intersphinx, no
# math renderer from elsewhere).
myst_heading_anchors = 4

autodoc_member_order = "bysource"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks = set()

sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": FileNameSortKey,
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "image_scrapers": ("matplotlib",),
    "reset_modules": ("matplotlib",),
}

html_theme = "sphinx_rtd_theme"
html_title = f"pumak {release}"
html_static_path = []
html_theme_options = {"navigation_depth": 3}
nitpicky = True
# Several pages open with a second-level heading (they were README sections);
# the first heading of a page is its title whatever its level.
suppress_warnings = ["myst.header"]
