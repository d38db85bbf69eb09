# The README's commands. Each installs what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test run clean dist screenshots soak reliability-report

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
# figures in $(BUILD)/reports/fuzz-<target>-<seconds>s.txt.
FUZZ_S ?= 60
FUZZ_TARGETS = diblayout hosttag
.PHONY: fuzz
fuzz: deps
	@status=0; for t in $(FUZZ_TARGETS); do \
	    bash fuzz/run.sh $(BUILD) $$t $(FUZZ_S) || status=1; done; exit $$status

# The soak through the real station: N paced images, PAIRS copy-and-paste
# pairs, a burst of BURST images. Figures in $(BUILD)/reports/soak.txt.
N ?= 10000
PAIRS ?= 200
BURST ?= 200
soak: build
	bash tests/soak/soak.sh $(BUILD) $(N) $(PAIRS) $(BURST); rc=$$?; \
	bash scripts/wine-env.sh $(BUILD) stop; exit $$rc

# docs/reliability.md from the results of the runs: the whole suite is run
# here (its cases by kind, its short soak); a `make soak` or `make fuzz` run
# before adds its figures.
reliability-report: build
	mkdir -p $(BUILD)/reports
	-cd $(BUILD) && ctest --timeout 120 -j $(JOBS) --output-junit $(abspath $(BUILD))/reports/ctest-junit.xml | tail -n 3
	python3 scripts/reliability-report.py $(BUILD)

# The station against the floor program: table, out/bench.csv, out/bench.png.
.PHONY: bench
bench: build
	bash bench/run-bench.sh $(BUILD)

clean:
	-bash scripts/wine-env.sh $(BUILD) stop 2>/dev/null
	rm -rf $(BUILD) out
