# Thin entry points; CMake presets do the work. Every target installs what is
# missing first (scripts/install-deps), so a fresh Debian 12 machine needs
# nothing else.

PRESET ?= dev
BUILD := build/$(PRESET)
JOBS ?= $(shell nproc)
DEMO_MACHINES ?= 50

.PHONY: all deps configure build run test test-unit package demo bench sanitize fuzz fuzz-long check-layering check-format format clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

# Starts the program from its run directory (config.ini beside it).
run: build
	cd $(BUILD)/run && ./quellis

# Every test: unit, UI (offscreen) and network (lab; needs root, as CI is).
test: build check-layering
	ctest --preset $(PRESET) -j $(JOBS) --timeout 600

test-unit: build
	ctest --preset $(PRESET) -j $(JOBS) -L unit

# The Debian package (CPack), from the optimised build, copied to build/:
# then `apt install ./build/quellis_<version>_<arch>.deb`.
PACKAGE_PRESET ?= release
package: deps
	@cmake --preset $(PACKAGE_PRESET) >/dev/null
	@cmake --build --preset $(PACKAGE_PRESET) -j $(JOBS) --target quellis quellis-cli quellis-farmsim quellis_package_docs
	@rm -rf build/$(PACKAGE_PRESET)/package
	@cd build/$(PACKAGE_PRESET) && cpack --config CPackConfig.cmake
	@cp build/$(PACKAGE_PRESET)/package/*.deb build/
	@ls build/*.deb

# The program against a simulated farm of $(DEMO_MACHINES) machines in the
# network lab. Needs root.
demo: build
	@scripts/demo $(BUILD)/run $(DEMO_MACHINES)

# Benchmarks are built optimised; the lab parts need root.
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release -j $(JOBS) --target benchmarks
	@scripts/run-benchmarks build/release

# Every test (unit, ui offscreen, net) under ASan+UBSan and again under TSan,
# then each fuzz target for a short while.
sanitize: deps
	@scripts/sanitize

# A fuzzing campaign over the stored corpus (fuzz/corpus/), which it grows and
# minimises: up to 10 million runs or FUZZ_LONG_SECONDS (600) per target.
fuzz-long: deps
	@scripts/fuzz-long

check-layering:
	@scripts/check-layering

check-format: deps
	@scripts/check-format

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
