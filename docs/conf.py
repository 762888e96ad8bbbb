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

def package_figures(block, block_vars, gallery_conf):
    """Images of the matplotlib Figures an example holds in its variables.

    pumak's plotting functions return Figure objects that pyplot does not
    know, so the examples end with such a Figure in a variable (``fig =
    pumak.plots.ensemble_spread(...)``); each is saved once, after the
    block that made it. Figures of pyplot are left to the matplotlib scraper,
    which runs after this one.
    """
    from matplotlib.figure import Figure
    from sphinx_gallery.scrapers import figure_rst

    shown = gallery_conf.setdefault("_pumak_shown", {}).setdefault(block_vars["src_file"], set())
    paths = []
    for value in list(block_vars["example_globals"].values()):
        if isinstance(value, Figure) and id(value) not in shown:
            shown.add(id(value))
            if getattr(value, "number", None) is not None:
                continue   # a pyplot figure: the matplotlib scraper saves it
            path = next(block_vars["image_path_iterator"])
            value.savefig(path, dpi=90)
            paths.append(path)
    return figure_rst(paths, gallery_conf["src_dir"])


sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": FileNameSortKey,
    "abort_on_example_error": True,
    "matplotlib_animations": False,
    "image_scrapers": (package_figures, "matplotlib"),
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
