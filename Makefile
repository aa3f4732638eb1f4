SHELL := /bin/bash
# The two entry points of the README, plus the sanitizer runs CI uses.
PRESET ?= default
JOBS ?= $(shell nproc)
BINARY = build/$(PRESET)/musicshell

FUZZ_SECONDS ?= 60
FUZZ_TARGETS = Base64Fuzz StdioRequestFuzz PlaylistRecordFuzz ArtworkFuzz LineStagerFuzz

.PHONY: setup configure build run test test-asan test-tsan fuzz bench format format-check lint clean

setup:
	@scripts/setup $(SETUP_FLAGS)

configure: setup
	@cmake --preset $(PRESET) > /dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS) $(BUILD_TARGETS)

# The demo player in its window; without a display, served for a browser (the address is printed).
# Only what running needs is built: the two binaries, without the tests, the benchmarks or the
# browser tests' npm packages.
run: SETUP_FLAGS = --no-npm
run: BUILD_TARGETS = --target musicshell musicshell-window
run: build
	@$(BINARY)

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# Each fuzz target for FUZZ_SECONDS, starting from its seeds and the inputs that once broke it
# (fuzz/corpus/TARGET), with the words of its input language from fuzz/TARGET.dict when there is
# one; what it finds lands in build/fuzz/findings/.
fuzz:
	@$(MAKE) --no-print-directory build PRESET=fuzz
	@mkdir -p build/fuzz/findings
	@set -e; for target in $(FUZZ_TARGETS); do \
		mkdir -p build/fuzz/corpus/$$target; \
		echo "fuzz: $$target for $(FUZZ_SECONDS) s" >&2; \
		dictionary=$$(test ! -f fuzz/$$target.dict || echo -dict=fuzz/$$target.dict); \
		ASAN_OPTIONS=detect_leaks=0 build/fuzz/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) \
			-print_final_stats=1 -artifact_prefix=build/fuzz/findings/$$target- $$dictionary \
			build/fuzz/corpus/$$target fuzz/corpus/$$target 2>&1 | tail -n 12; \
		test $${PIPESTATUS[0]} -eq 0; \
	done

# In-process benchmarks, then the side-by-side comparison table (the latest is in bench/RESULTS.md).
bench: build
	@build/$(PRESET)/bench/musicshell_bench --benchmark_min_time=0.5
	@python3 bench/compare.py $(BINARY)
	@python3 bench/serve_files.py $(BINARY)

# The C++ sources as .clang-format lays them out; format-check fails on any difference.
FORMATTED = $(shell git ls-files '*.cpp' '*.h')

format:
	@clang-format -i $(FORMATTED)

format-check:
	@clang-format --dry-run --Werror $(FORMATTED)

# The checks of .clang-tidy over our own sources (not the tests), as compiled in the default build.
LINTED = $(shell git ls-files 'App/*.cpp' 'Platform/*.cpp' 'Host/*.cpp')

lint:
	@$(MAKE) --no-print-directory build PRESET=default
	@run-clang-tidy -quiet -j $(JOBS) -p build/default $(addprefix $(CURDIR)/,$(LINTED)) > build/lint.log 2>&1 \
		|| { grep -E -A3 'warning:|error:' build/lint.log; exit 1; }

clean:
	@rm -rf build
