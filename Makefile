# The two commands of the README: `make demo` and `make test`; `make wheel` and
# `make docs` build the binary wheel and the documentation site; `make lint`
# checks the style of the Python and the C++.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
VPY := $(VENV)/bin/python
# python3.12 on PATH when it really runs (a pyenv shim may not), else pyenv's 3.12.
PYTHON312 := $(shell if python3.12 -c 'import sys' >/dev/null 2>&1; then command -v python3.12; \
	else ls -d "$$(pyenv root 2>/dev/null)"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V | tail -n 1; fi)
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.inc' -o -name '*.py' \) 2>/dev/null) \
	CMakeLists.txt pyproject.toml
CPP_TESTS := $(wildcard tests/cpp/*.cpp)
JOBS ?= 2

.PHONY: lint test demo cpp-test py-test doctest install gui-debs sanitize wheel wheel-check docs clean

$(VENV)/.deps: requirements-dev.txt
	@if [ -z "$(PYTHON312)" ]; then \
		echo "error: Python 3.12 not found: install python3.12 on PATH or pyenv's 3.12" >&2; exit 1; fi
	@[ -x $(VPY) ] || $(PYTHON312) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	@touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip install -q --no-build-isolation --no-deps .
	@touch $@

install: $(VENV)/.installed

/usr/include/gtest/gtest.h:
	@command -v apt-get >/dev/null || { echo "error: GoogleTest headers missing and no apt-get" >&2; exit 1; }
	apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev

build/cpp/qv_tests: /usr/include/gtest/gtest.h $(VENV)/.deps $(SOURCES) $(CPP_TESTS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DQV_BUILD_MODULE=OFF -DQV_BUILD_TESTS=ON >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/cpp -j $(JOBS)

# Xvfb, and what Qt and Mesa's software OpenGL need, for the napari tests
# (pytest-xvfb runs the tests in a virtual display).
GUI_DEBS := xvfb xauth libgl1-mesa-dri libegl1 libxkbcommon-x11-0 libxcb-cursor0 libxcb-icccm4 \
	libxcb-keysyms1 libxcb-shape0 libxcb-xinerama0 libxcb-randr0 libxcb-render-util0 \
	libxcb-image0 libfontconfig1 libdbus-1-3

gui-debs:
	@missing="$$(for p in $(GUI_DEBS); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null \
		| grep -q 'ok installed' || echo $$p; done)"; \
	if [ -n "$$missing" ]; then \
		command -v apt-get >/dev/null || { echo "error: missing $$missing and no apt-get" >&2; exit 1; }; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

cpp-test: build/cpp/qv_tests
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

py-test: install gui-debs
	$(VPY) -m pytest -q tests

# The docstrings' examples, on the installed package.
doctest: install
	$(VPY) -m pytest -q -p no:cacheprovider --doctest-modules --pyargs quorvel \
		--ignore-glob='*/napari/*'

test: cpp-test doctest py-test

# A binary wheel that installs without a compiler: built from the same CMake
# tree as `install`, then repaired by auditwheel to a manylinux tag with the
# OpenMP runtime copied inside (quorvel.libs/). dist/ holds it alone.
wheel: $(VENV)/.deps $(SOURCES)
	rm -rf build/wheelhouse dist
	CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(VPY) -m pip wheel -q --no-build-isolation --no-deps \
		-w build/wheelhouse .
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist build/wheelhouse/quorvel-*.whl
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel show dist/quorvel-*.whl

# The wheel in a fresh venv, as a user without a compiler gets it: binary
# packages only (pinned by the lock), no compiler on PATH; then import,
# denoise and the command line (.ci/wheel_smoke.py).
WHEEL_VENV := build/wheel-venv
wheel-check: wheel
	rm -rf $(WHEEL_VENV) && $(PYTHON312) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --only-binary :all: -c requirements-dev.txt dist/quorvel-*.whl
	cd $(WHEEL_VENV) && CC=false CXX=false ./bin/python $(CURDIR)/.ci/wheel_smoke.py

# The documentation site into build/docs/html: Sphinx with warnings as errors;
# the gallery's examples run during the build.
$(VENV)/.docs-deps: requirements-docs.txt $(VENV)/.deps
	$(VPY) -m pip install -q -r requirements-docs.txt
	@touch $@

docs: install $(VENV)/.docs-deps
	rm -rf build/docs docs/auto_examples docs/api/generated
	$(VENV)/bin/sphinx-build -W --keep-going -q -b html -d build/docs/doctrees docs build/docs/html
	@echo "documentation: build/docs/html/index.html"

# ASan + UBSan: the module and the C++ tests built into build/sanitize, the C++
# tests and the Python suite (on that module, with the ASan runtime preloaded
# into the interpreter, and libstdc++ with it so that ASan can intercept C++
# exceptions) stopping at the first error; the package is staged with that build's
# engine in build/sanitize/site. Not part of `test`.
SAN_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g
SAN_ENV := ASAN_OPTIONS=halt_on_error=1:detect_leaks=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

build/sanitize/.built: /usr/include/gtest/gtest.h $(VENV)/.deps $(SOURCES) $(CPP_TESTS)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B build/sanitize -G Ninja \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$(SAN_FLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$(SAN_FLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(SAN_FLAGS)" \
		-DCMAKE_MODULE_LINKER_FLAGS="$(SAN_FLAGS)" \
		-DQV_BUILD_MODULE=ON -DQV_BUILD_TESTS=ON -DPython_EXECUTABLE="$(CURDIR)/$(VPY)" \
		-Dpybind11_DIR="$$($(VPY) -m pybind11 --cmakedir)" >/dev/null
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build build/sanitize -j $(JOBS)
	rm -rf build/sanitize/site && mkdir -p build/sanitize/site
	cp -r python/quorvel build/sanitize/site/ && cp build/sanitize/_engine*.so build/sanitize/site/quorvel/
	@touch $@

sanitize: build/sanitize/.built install
	$(SAN_ENV) PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/sanitize \
		--output-on-failure -j $(JOBS)
	$(SAN_ENV) PYTHONMALLOC=malloc \
		LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
		PYTHONPATH="$(CURDIR)/build/sanitize/site:$(CURDIR)/build/sanitize" \
		$(VPY) -m pytest -q -p no:cacheprovider --capture=sys tests

# Style and types: ruff's checks and formatting over the Python, mypy over the
# package (pyproject.toml configures both), clang-format over the C++ (.clang-format).
# The tools come with the venv (requirements-dev.txt); nothing is changed.
CPP_FORMATTED := $(shell find src tests/cpp -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.inc' \) | sort)

lint: $(VENV)/.deps
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check
	$(VENV)/bin/mypy
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_FORMATTED)

demo: install
	$(VPY) -m quorvel demo

clean:
	rm -rf build dist $(VENV) demo_output docs/auto_examples docs/api/generated
