# The README's commands. Each installs what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure --timeout 120 -j $(JOBS)

run: build
	bash scripts/run-station.sh $(BUILD)

# The station against the floor program: table, out/bench.csv, out/bench.png.
.PHONY: bench
bench: build
	bash bench/run-bench.sh $(BUILD)

clean:
	-bash scripts/wine-env.sh $(BUILD) stop 2>/dev/null
	rm -rf $(BUILD) out
