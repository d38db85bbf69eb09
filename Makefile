# The README's commands. Each installs what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run clean dist screenshots

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

dist: build
	cmake --build $(BUILD) --target dist

screenshots: build
	cmake --build $(BUILD) --target screenshots

run: build
	bash scripts/run-station.sh $(BUILD)

# Each native fuzz target for FUZZ_S seconds on a copy of its seed corpus;
# figures in $(BUILD)/reports/fuzz-<target>.txt.
FUZZ_S ?= 60
FUZZ_TARGETS = diblayout hosttag
.PHONY: fuzz
fuzz: deps
	@status=0; for t in $(FUZZ_TARGETS); do \
	    bash fuzz/run.sh $(BUILD) $$t $(FUZZ_S) || status=1; done; exit $$status

clean:
	-bash scripts/wine-env.sh $(BUILD) stop 2>/dev/null
	rm -rf $(BUILD) out
