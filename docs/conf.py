"""Sphinx configuration of quorvel's documentation (``make docs``)."""

from __future__ import annotations

from importlib.metadata import version as _version

project = "quorvel"
author = "quorvel developers"
copyright = "2026, quorvel developers"
release = _version("quorvel")
version = release

extensions = [
    "myst_parser",
    "numpydoc",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = [
    "_build",
    "examples/README.rst",
    "make_napari_screenshot.py",
    "noise_plot.py",
    "**.ipynb_checkpoints",
]
# Names in single backticks are looked up as Python objects (the NumPy
# docstring convention); those that name no documented object stay text.
default_role = "py:obj"

myst_enable_extensions = ["colon_fence"]
myst_heading_anchors = 3

autosummary_generate = True
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "write_computation_times": False,
    "abort_on_example_error": True,
}

html_theme = "pydata_sphinx_theme"
html_title = f"quorvel {release}"
html_static_path: list[str] = []
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
}
