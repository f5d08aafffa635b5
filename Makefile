# Front door. CMake (CMakePresets.json) does the work; every target installs
# what it needs first, so each command works alone on a fresh Debian machine.
SHELL := /bin/bash
JOBS ?= $(shell scripts/cpus)
BOOTSTRAP := scripts/bootstrap

.PHONY: all demo test linux windows release bench fuzz coverage lint format clean

all: linux

define build_preset
	cmake --preset $(1) >/dev/null
	cmake --build build/$(1) -j $(JOBS)
endef

demo:
	@$(BOOTSTRAP)
	@cmake --preset linux-release >/dev/null
	@cmake --build build/linux-release -j $(JOBS) --target QvnTpmKsp qvnksp >/dev/null
	@build/linux-release/bin/qvnksp demo

test:
	@$(BOOTSTRAP) --wine32
	@scripts/run-tests

linux:
	@$(BOOTSTRAP)
	cmake --preset linux-release >/dev/null
	cmake --build build/linux-release -j $(JOBS) --target QvnTpmKsp qvnksp
	mkdir -p dist/linux-x86_64
	cp build/linux-release/bin/QvnTpmKsp.so build/linux-release/bin/libqvnplatform.so \
	   build/linux-release/bin/qvnksp dist/linux-x86_64/

windows:
	@$(BOOTSTRAP)
	$(call build_preset,win32)
	$(call build_preset,win64)
	mkdir -p dist/win32 dist/win64
	cp build/win32/bin/QvnTpmKsp.dll build/win32/bin/qvnksp.exe dist/win32/
	cp build/win64/bin/QvnTpmKsp.dll build/win64/bin/qvnksp.exe dist/win64/
# The installer for administrators: dist/win32/QvnTpmKsp-<version>.msi (the DLL
# and the 32-bit qvnksp.exe found beside it).
	scripts/msi-build build/win32/bin/QvnTpmKsp.dll dist/win32

# What is shipped, reproducible and (given a certificate, see the README) signed: dist/release/.
release:
	@$(BOOTSTRAP)
	@scripts/release-build dist/release

bench:
	@$(BOOTSTRAP) --wine32
	@scripts/run-bench

fuzz:
	@$(BOOTSTRAP)
	@scripts/run-fuzz $(FUZZ_SECONDS)

coverage:
	@$(BOOTSTRAP)
	@scripts/run-coverage

lint:
	@$(BOOTSTRAP)
	@scripts/lint

format:
	@git -c safe.directory="$(CURDIR)" ls-files -z -- '*.cpp' '*.h' '*.c' ':!platform/posix/include/assert.h' | xargs -0 clang-format -i

clean:
	rm -rf build dist
