# The two everyday commands: `make test` and `make demo` (see README.md).
# `make help` lists every target: the text after "## " on a target's line.
BUILD     ?= build
JOBS      ?= 2
TOOLCHAIN := cmake/toolchain-mingw64.cmake
export WINEPREFIX := $(abspath $(BUILD))/wineprefix
MAKEFLAGS += --no-print-directory
stage = @echo "== $(1)"

.PHONY: all help deps configure build test demo bench bench-gost bench-walk bench-document bench-core bench-scan bench-passport bench-fleet test-fleet fleet-native clean

all: build

help: ## this list
	@echo "make TARGET [BUILD=build] [JOBS=2]"
	@grep -E '^[a-z][a-z-]*:.*## ' $(firstword $(MAKEFILE_LIST)) | sed 's/^\([a-z-]*\):.*## /\1\t/' | \
	  awk -F'\t' '{ printf "  %-16s %s\n", $$1, $$2 }'

deps: ## install what is missing (MinGW-w64, Wine, CMake, GoogleTest, rhash, Python 3)
	$(call stage,installing what is missing)
	@sh scripts/install-deps.sh

configure: deps ## configure the build tree (BUILD=build)
	$(call stage,configuring $(BUILD))
	@cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=$(TOOLCHAIN) -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli >/dev/null

build: configure ## build every program, DLL and test into build/bin
	$(call stage,building with $(JOBS) jobs)
	@cmake --build $(BUILD) -j$(JOBS)

# The tests install, start, stop and remove the services in the build's own
# prefix; the prefix's Wine server is ended afterwards. Failed tests run once
# more, alone, and are named either way.
test: build ## build, then run every test under Wine and the fleet store's natively; non-zero when any fails
	@$(MAKE) test-fleet; fleet=$$?; \
	  cd $(BUILD) && echo "== testing $$(ctest -N | sed -n 's/^Total Tests: //p') tests" && \
	  ctest --output-on-failure --no-label-summary -j$(JOBS); rc=$$?; \
	  if [ $$rc -ne 0 ] && [ -s Testing/Temporary/LastTestsFailed.log ]; then \
	    echo "== the failed tests once more, one at a time (Wine on a loaded machine now and then fails to start a program;" \
	         "a test that passes now still failed once: look at it)"; \
	    sed 's/^[0-9]*:/   /' Testing/Temporary/LastTestsFailed.log; \
	    ctest --rerun-failed --output-on-failure --no-label-summary -j1; rc=$$?; \
	  fi; \
	  ./wine-run.sh stop-server >/dev/null 2>&1; \
	  echo "== slowest tests (seconds)"; \
	  sed '/^---/,$$d' Testing/Temporary/CTestCostData.txt 2>/dev/null | sort -k3 -g -r | head -5 | \
	    awk '{ printf "  %8.1f  %s\n", $$3, $$1 }'; \
	  [ $$fleet -eq 0 ] || echo "== the fleet store's tests failed (above, before the Windows tests)"; \
	  [ $$rc -eq 0 ] && exit $$fleet; exit $$rc

# The fleet store vrfleet is native Linux code, built in a tree of its own
# ($(BUILD)/native-fleet) and never part of the Windows deliverables; its
# tests run against SQLite and a throwaway PostgreSQL cluster.
FLEET_BUILD := $(BUILD)/native-fleet
fleet-native: deps
	@mkdir -p $(FLEET_BUILD)
	@{ cmake -S product/fleet -B $(FLEET_BUILD) -DCMAKE_BUILD_TYPE=Release && \
	   cmake --build $(FLEET_BUILD) -j$(JOBS); } >$(FLEET_BUILD)/build.log 2>&1 || \
	  { cat $(FLEET_BUILD)/build.log; echo "== the fleet store did not build (above)"; exit 1; }

test-fleet: fleet-native ## the fleet store's tests, against SQLite and PostgreSQL
	@echo "== testing the fleet store (SQLite and PostgreSQL)"
	@sh product/fleet/tests/with_postgres.sh $(FLEET_BUILD)/tests/vrfleet_tests --gtest_brief=1

# The main job end to end: services installed in a prefix of the demo's own
# (build/demo), a scan through vragent, the document exported and checked.
# Only what the demo runs is built: the tests and benchmarks wait for make test.
DEMO_TARGETS := VrSSRSrv VrSSRProxy vragent vrcc-ctl VrCC vrssr-setup vrpassport \
                VrError Vr5CryptoApi VrEvtApi VrSrvApi VrPolicyApi
demo: configure ## the main job end to end in a prefix of its own (build/demo)
	$(call stage,building what the demo runs with $(JOBS) jobs)
	@cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	@sh scripts/demo.sh $(BUILD)

# Benchmarks print figures; they never fail on time.
BENCHES := bench-gost bench-walk bench-document bench-core bench-scan bench-passport bench-fleet
bench: $(BENCHES) ## every benchmark; they print figures and never fail on time

# GOST R 34.11-94: our core against librhash natively, then the provider DLL
# under Wine through vrhash.exe; the last line gives the speed ratio.
bench-gost: configure ## GOST R 34.11-94 speed against librhash
	@cmake --build $(BUILD) -j$(JOBS) --target vrhash Vr5CryptoApi VrError >/dev/null
	@sh bench/gost/run.sh $(BUILD)

# The folder walk: files per second and memory per collected file, over a
# generated tree of 100,000 files (kept in the prefix between runs).
bench-walk: build ## the folder walk over 100,000 files
	@$(BUILD)/wine-run.sh $(BUILD)/bin/bench_walk.exe

# The software state document: 1,000,000 entries, time and writer memory.
bench-document: build ## the software state document writer, 1,000,000 entries
	@$(BUILD)/wine-run.sh $(BUILD)/bin/bench_document.exe

# The core service: round trips per second for small messages and MB/s for
# 1 MiB payloads between two processes through VrCC.
bench-core: configure ## the core service's round trips and payload speed
	@cmake --build $(BUILD) -j$(JOBS) --target vrcc_bench >/dev/null
	@$(BUILD)/wine-run.sh $(BUILD)/bin/vrcc_bench.exe

# A whole scan against native rhash -r --gost94 on two generated trees
# (kept under $(BUILD)/bench/scan): figures, then the two wall-time ratios.
bench-scan: build ## a whole scan against native rhash on a system tree and a data tree
	@sh bench/scan/run.sh $(BUILD)

# vrpassport diff of two generated 1,000,000-entry documents (made once, kept
# in $(BUILD)/bench-passport): time and peak memory under Wine, then of the
# same code built natively.
BENCH_PASSPORT := $(abspath $(BUILD))/bench-passport
bench-passport: configure ## vrpassport diff of two 1,000,000-entry documents: time and peak memory
	@cmake --build $(BUILD) -j$(JOBS) --target bench_passport vrpassport >/dev/null
	@mkdir -p $(BENCH_PASSPORT)
	@$(BUILD)/wine-run.sh $(BUILD)/bin/bench_passport.exe "Z:$$(printf '%s' '$(BENCH_PASSPORT)' | tr / '\\')"
	@cmake -S product/passport -B $(BUILD)/native-passport -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD)/native-passport -j$(JOBS) >/dev/null
	@/usr/bin/time -f "native build: %e s, peak resident %M KB" $(BUILD)/native-passport/vrpassport diff \
	  $(BENCH_PASSPORT)/old-1M.xml $(BENCH_PASSPORT)/new-1M.xml >/dev/null || [ $$? -eq 1 ]

# Two rounds of generated passports (streamed, never written to disk) into
# SQLite and PostgreSQL side by side. FLEET_SCALE picks the size.
FLEET_SCALE ?= --hosts 100 --entries 100000 --groups 4
bench-fleet: fleet-native ## the fleet store: import speed, bytes per entry, query times (FLEET_SCALE="--hosts 10 --entries 100000")
	@mkdir -p $(BUILD)/bench-fleet
	@VRFLEET_PG_SERVER_OPTIONS="-c shared_buffers=1GB -c max_wal_size=8GB" \
	  sh product/fleet/tests/with_postgres.sh $(FLEET_BUILD)/bench/bench_fleet $(FLEET_SCALE) --dir $(abspath $(BUILD))/bench-fleet

clean: ## end the build prefix's Wine processes and remove the build tree
	@if [ -d "$(BUILD)/wineprefix" ]; then wineserver -k >/dev/null 2>&1 || true; fi
	rm -rf $(BUILD)
