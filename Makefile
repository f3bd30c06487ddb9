# The two commands of the README: `make demo` and `make test`.
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

.PHONY: test demo cpp-test py-test install sanitize clean

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

cpp-test: build/cpp/qv_tests
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

py-test: install
	$(VPY) -m pytest -q tests

test: cpp-test py-test

# ASan + UBSan: the module and the C++ tests built into build/sanitize, the C++
# tests and the Python suite (on that module, with the ASan runtime preloaded
# into the interpreter, and libstdc++ with it so that ASan can intercept C++
# exceptions) stopping at the first error. Not part of `test`.
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
	@touch $@

sanitize: build/sanitize/.built install
	$(SAN_ENV) PATH="$(CURDIR)/$(VENV)/bin:$$PATH" ctest --test-dir build/sanitize \
		--output-on-failure -j $(JOBS)
	$(SAN_ENV) PYTHONMALLOC=malloc \
		LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
		PYTHONPATH="$(CURDIR)/build/sanitize:$(CURDIR)/python" \
		$(VPY) -m pytest -q -p no:cacheprovider --capture=sys tests

demo: install
	$(VPY) -m quorvel demo

clean:
	rm -rf build $(VENV) demo_output
