# Everything a fresh Debian 12 machine needs goes through scripts/install-deps first.
JOBS ?= $(shell nproc)
BUILD_TEST := build/test
BUILD_RUN := build/release
BUILD_BENCH := build/bench
CMAKE_FLAGS := -G Ninja -Wno-dev

.PHONY: deps test build run bench format clean

deps:
	@scripts/install-deps

# Sanitized build and every test through CTest.
test: deps
	cmake -S . -B $(BUILD_TEST) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_SANITIZE=ON -DQUILLMERE_TESTS=ON
	cmake --build $(BUILD_TEST) -j $(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure -j $(JOBS) --timeout 900

build: deps
	cmake -S . -B $(BUILD_RUN) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_TESTS=OFF
	cmake --build $(BUILD_RUN) -j $(JOBS) --target quillmere

# The application's main job.
run: build
	scripts/run-main $(BUILD_RUN)/quillmere

bench: deps
	cmake -S . -B $(BUILD_BENCH) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_TESTS=OFF -DQUILLMERE_BENCH=ON
	cmake --build $(BUILD_BENCH) -j $(JOBS)
	@set -e; for b in $(BUILD_BENCH)/bench_*; do [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done

format:
	git ls-files '*.cpp' '*.h' | xargs -r clang-format -i

clean:
	rm -rf build
