# The two everyday commands: `make test` and `make demo` (see README.md).
BUILD     ?= build
JOBS      ?= 2
TOOLCHAIN := cmake/toolchain-mingw64.cmake
export WINEPREFIX := $(abspath $(BUILD))/wineprefix

.PHONY: all deps configure build test bench clean

all: build

deps:
	@sh scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release >/dev/null

build: configure
	@cmake --build $(BUILD) -j$(JOBS)

# Builds and runs every test under Wine; non-zero when anything fails.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS); rc=$$?; \
	  wineserver -k >/dev/null 2>&1; exit $$rc

# Benchmarks print figures; they never fail on time.
BENCHES :=
bench: $(BENCHES)

clean:
	@if [ -d "$(BUILD)/wineprefix" ]; then wineserver -k >/dev/null 2>&1 || true; fi
	rm -rf $(BUILD)
