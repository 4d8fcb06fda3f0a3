# Entry points; see README.md. Every target installs what it needs first.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja
CTEST_ARGS ?=

.PHONY: deps configure build test test-asan test-tsan run bench fuzz format format-check clean

deps:
	@bash scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The same tests built with AddressSanitizer and UBSan.
test-asan: deps
	cmake -S . -B build-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DORVEL_BENCH=OFF \
	  -DORVEL_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The tests that start threads, built with ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DORVEL_BENCH=OFF \
	  -DORVEL_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -L integration $(CTEST_ARGS)

# Runs the agent with the environment as given (EDGE_* variables, see README.md).
run: build
	@if [ -x $(BUILD)/bridge/orvel-edge-bridge ]; then exec $(BUILD)/bridge/orvel-edge-bridge; \
	 else echo "the agent program is not built yet"; exit 1; fi

bench: deps
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DORVEL_TESTS=ON
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench/*_bench; do \
	  echo "== $$b"; \
	  case "$$(basename $$b)" in \
	    relay_bench|command_bench) $$b build-bench/bridge/orvel-edge-bridge ;; \
	    *) $$b ;; \
	  esac; \
	done
	@echo "== bench/params_sim.sh"; bench/params_sim.sh build-bench 5

# A simulated drone, the agent and a stand-in for the platform on 127.0.0.1 (about a minute).
.PHONY: demo
demo: build
	@bash demo/run-demo.sh $(BUILD)

# libFuzzer targets, built with clang. Run one with: build-fuzz/fuzz/<name> -max_total_time=600
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DORVEL_FUZZ=ON -DORVEL_TESTS=OFF -DORVEL_BENCH=OFF
	# Only the fuzz targets: the libraries are built instrumented for them alone.
	cmake --build build-fuzz -j $(JOBS) --target mavlink_parser_fuzz

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

format-check:
	git ls-files '*.cc' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
