# The two everyday commands: `make test` and `make demo` (see README.md).
BUILD     ?= build
JOBS      ?= 2
TOOLCHAIN := cmake/toolchain-mingw64.cmake
export WINEPREFIX := $(abspath $(BUILD))/wineprefix

.PHONY: all deps configure build test demo bench bench-gost bench-walk bench-document bench-core bench-passport clean

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

# The main job end to end: services installed in a prefix of the demo's own
# (build/demo), a scan through vragent, the document exported and checked.
demo: build
	@sh scripts/demo.sh $(BUILD)

# Benchmarks print figures; they never fail on time.
BENCHES := bench-gost bench-walk bench-document bench-core bench-passport
bench: $(BENCHES)

# GOST R 34.11-94: our core against librhash natively, then the provider DLL
# under Wine through vrhash.exe; the last line gives the speed ratio.
bench-gost: configure
	@cmake --build $(BUILD) -j$(JOBS) --target vrhash Vr5CryptoApi VrError >/dev/null
	@sh bench/gost/run.sh $(BUILD)

# The folder walk: files per second and memory per collected file, over a
# generated tree of 100,000 files (kept in the prefix between runs).
bench-walk: build
	@$(BUILD)/wine-run.sh $(BUILD)/bin/bench_walk.exe

# The software state document: 1,000,000 entries, time and writer memory.
bench-document: build
	@$(BUILD)/wine-run.sh $(BUILD)/bin/bench_document.exe

# The core service: round trips per second for small messages and MB/s for
# 1 MiB payloads between two processes through VrCC.
bench-core: configure
	@cmake --build $(BUILD) -j$(JOBS) --target vrcc_bench >/dev/null
	@$(BUILD)/wine-run.sh $(BUILD)/bin/vrcc_bench.exe

# vrpassport diff of two generated 1,000,000-entry documents (made once, kept
# in $(BUILD)/bench-passport): time and peak memory under Wine, then of the
# same code built natively.
BENCH_PASSPORT := $(abspath $(BUILD))/bench-passport
bench-passport: configure
	@cmake --build $(BUILD) -j$(JOBS) --target bench_passport vrpassport >/dev/null
	@mkdir -p $(BENCH_PASSPORT)
	@$(BUILD)/wine-run.sh $(BUILD)/bin/bench_passport.exe "Z:$$(printf '%s' '$(BENCH_PASSPORT)' | tr / '\\')"
	@cmake -S product/passport -B $(BUILD)/native-passport -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD)/native-passport -j$(JOBS) >/dev/null
	@/usr/bin/time -f "native build: %e s, peak resident %M KB" $(BUILD)/native-passport/vrpassport diff \
	  $(BENCH_PASSPORT)/old-1M.xml $(BENCH_PASSPORT)/new-1M.xml >/dev/null || [ $$? -eq 1 ]

clean:
	@if [ -d "$(BUILD)/wineprefix" ]; then wineserver -k >/dev/null 2>&1 || true; fi
	rm -rf $(BUILD)
