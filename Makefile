# The two entry points of the README, plus the sanitizer runs CI uses.
PRESET ?= default
JOBS ?= $(shell nproc)
BINARY = build/$(PRESET)/musicshell

.PHONY: setup configure build run test test-asan test-tsan bench clean

setup:
	@scripts/setup

configure: setup
	@cmake --preset $(PRESET) > /dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

run: build
	@echo "musicshell: reading requests on standard input, one JSON object a line;" >&2
	@echo '  try {"id":1,"host":"audioSession"} or {"id":2,"plugin":"OfflineStoragePlugin","method":"listFiles"}' >&2
	@echo "  end of input or {\"host\":\"quit\"} stops it." >&2
	@$(BINARY) stdio

test: build
	@ctest --preset $(PRESET) -j $(JOBS)

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

clean:
	@rm -rf build
