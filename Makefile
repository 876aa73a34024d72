# The entry points of the README: `make demo` runs the main job, `make test` runs every
# test but the long soak tests, `make soak` runs those, `make fuzz` runs the fuzz targets.
.PHONY: demo test soak build asan-test tsan-test bench deps fuzz

# Seconds each fuzz target runs for under `make fuzz`.
FUZZ_SECONDS ?= 60

deps:
	@scripts/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default

demo: build
	@scripts/demo.sh

test: build
	@scripts/run-tests.sh default

soak: build
	@scripts/run-tests.sh default --soak

asan-test: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
	@scripts/run-tests.sh asan

tsan-test: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@scripts/run-tests.sh tsan

bench: build
	@bench/run_all.sh

fuzz: deps
	@scripts/fuzz.sh $(FUZZ_SECONDS)
