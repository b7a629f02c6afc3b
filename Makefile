# Everything a fresh Debian 12 machine needs goes through scripts/install-deps first.
JOBS ?= $(shell nproc)
BUILD_TEST := build/test
BUILD_OPT := build/opt
BUILD_RUN := build/release
BUILD_BENCH := build/bench
BUILD_FUZZ := build/fuzz
# Seconds each fuzz target runs: the two service-answer decoders 30, every other target 10.
# `make fuzz FUZZ_SECONDS=n` runs every target n seconds instead.
FUZZ_SECONDS ?=
FUZZ_LONG_TARGETS := claude_decode openai_decode
FUZZ_LONG_SECONDS := 30
FUZZ_TARGET_SECONDS := 10
CMAKE_FLAGS := -G Ninja -Wno-dev

.PHONY: deps test build run probe checks bench fuzz format clean

deps:
	@scripts/install-deps

# Every test through CTest twice: in the sanitized Debug build, and in an optimised build without
# sanitizers, where timing and freed memory behave as in the application (a test that races real
# time, or a use after free the sanitizers would have caught, shows up differently in each). Both
# build folders are kept between runs.
test: deps
	scripts/check-layers
	cmake -S . -B $(BUILD_TEST) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_SANITIZE=ON -DQUILLMERE_TESTS=ON
	cmake --build $(BUILD_TEST) -j $(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure -j $(JOBS) --timeout 900
	cmake -S . -B $(BUILD_OPT) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_SANITIZE=OFF -DQUILLMERE_TESTS=ON
	cmake --build $(BUILD_OPT) -j $(JOBS)
	cd $(BUILD_OPT) && ctest --output-on-failure -j $(JOBS) --timeout 900
	$(MAKE) fuzz

build: deps
	cmake -S . -B $(BUILD_RUN) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_TESTS=OFF
	cmake --build $(BUILD_RUN) -j $(JOBS) --target quillmere quillmere-classification-standin

# The application on the demo simulated desktop, against the stand-in classification service.
run: build
	scripts/run-main $(BUILD_RUN)

# The host probe against each host of the demo simulated desktop.
probe: build
	scripts/run-probe $(BUILD_RUN)/quillmere

# The check suites that run from their command-line flags, each into its own folder under
# build/checks/, where a person can open the captures.
CHECKS_OUT := build/checks
checks: build
	rm -rf $(CHECKS_OUT)/ui
	QT_QPA_PLATFORM=offscreen $(BUILD_RUN)/quillmere --ui-checks $(CHECKS_OUT)/ui
	rm -rf $(CHECKS_OUT)/connector-card
	QT_QPA_PLATFORM=offscreen $(BUILD_RUN)/quillmere --connector-card-checks $(CHECKS_OUT)/connector-card
	rm -rf $(CHECKS_OUT)/monthly
	QT_QPA_PLATFORM=offscreen $(BUILD_RUN)/quillmere --monthly-checks tests/fixtures/monthly/golden.json \
	  $(CHECKS_OUT)/monthly

bench: deps
	cmake -S . -B $(BUILD_BENCH) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_TESTS=OFF -DQUILLMERE_BENCH=ON
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	@set -e; for b in $(BUILD_BENCH)/bench_*; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done
	@echo "== the running application (scripts/measure-app)"
	scripts/measure-app $(BUILD_BENCH)

format:
	git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf build

# libFuzzer targets (tests/fuzz/fuzz_<name>.cpp) built with clang, each run for its seconds from a
# scratch copy of its seed corpus tests/fuzz/corpus/<name>/. Any crash or sanitizer report fails.
fuzz: deps
	CC=clang-14 CXX=clang++-14 cmake -S . -B $(BUILD_FUZZ) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_TESTS=OFF -DQUILLMERE_FUZZ=ON
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzzers
	@set -e; for f in $(BUILD_FUZZ)/fuzz_*; do \
	  [ -f "$$f" ] && [ -x "$$f" ] || continue; \
	  name=$$(basename "$$f"); name=$${name#fuzz_}; work=$$(mktemp -d); \
	  seconds=$(FUZZ_SECONDS); \
	  if [ -z "$$seconds" ]; then \
	    case " $(FUZZ_LONG_TARGETS) " in *" $$name "*) seconds=$(FUZZ_LONG_SECONDS);; *) seconds=$(FUZZ_TARGET_SECONDS);; esac; \
	  fi; \
	  cp tests/fuzz/corpus/$$name/* "$$work"/ 2>/dev/null || true; \
	  echo "== $$f ($$seconds s)"; \
	  if LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 "$$f" -max_total_time=$$seconds \
	     -print_final_stats=1 -artifact_prefix="$$work/" "$$work" > "$$work.log" 2>&1; then \
	    tail -3 "$$work.log"; rm -rf "$$work" "$$work.log"; \
	  else tail -60 "$$work.log"; echo "fuzz: $$name failed; inputs kept in $$work"; exit 1; fi; \
	done
