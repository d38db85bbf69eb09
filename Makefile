# The README's commands. Each installs what is missing first.
# build/ is the product (i686); build-x86_64/ the test flavour of the same
# sources, for machines whose kernel runs no 32-bit programs. ARCH=i686 or
# ARCH=x86_64 forces one where a target runs programs; empty: whichever runs
# here, i686 first (scripts/flavour.sh). Where this kernel runs no 32-bit
# programs, make test runs the i686 suite in a Debian guest after the x86_64
# one, and make run ARCH=i686 runs there (scripts/guest.sh); GUEST=1 takes
# any machine for such a one.
BUILD ?= build
BUILD64 ?= build-x86_64
ARCH ?=
GUEST ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
export BUILD BUILD64 CMAKE_FLAGS GUEST
# The tree a target runs programs from, built first.
RUN_TREE = answer=$$(bash scripts/flavour.sh "$(ARCH)" $(JOBS)) || exit 1; \
	eval "$$answer"; tree=$$FLAVOUR_TREE;
# The same for a target that can run in the guest: $$in is then the command
# that takes what follows there.
RUN_IN = answer=$$(FLAVOUR_GUEST=1 bash scripts/flavour.sh "$(ARCH)" $(JOBS)) || exit 1; \
	eval "$$answer"; tree=$$FLAVOUR_TREE; in=""; \
	[ "$$FLAVOUR_WHERE" = guest ] && in="bash scripts/guest.sh run --share $$tree --";

.PHONY: all deps configure build test stress run clean dist screenshots soak reliability-report

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	@bash scripts/run-tests.sh "$(ARCH)" $(JOBS)

# make test with every core kept busy (stress-ng), each case's time printed
# beside its guard: where the guards are sized.
stress: deps
	@STRESS=1 bash scripts/run-tests.sh "$(ARCH)" $(JOBS)

dist: build
	cmake --build $(BUILD) --target dist

screenshots: deps
	@$(RUN_TREE) cmake --build $$tree --target screenshots

run: deps
	@$(RUN_IN) $$in bash scripts/run-station.sh $$tree

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
soak: deps
	@$(RUN_TREE) bash tests/soak/soak.sh $$tree $(N) $(PAIRS) $(BURST); rc=$$?; \
	bash scripts/wine-env.sh $$tree stop; exit $$rc

# docs/reliability.md from the results of the runs: the whole suite is run
# here (its cases by kind, its short soak); a `make soak` or `make fuzz` run
# before adds its figures.
reliability-report: deps
	@$(RUN_TREE) bash scripts/run-tests.sh --suite $$tree $(JOBS) | grep -E '^[0-9]+% tests passed|^Total Test time'; \
	python3 scripts/reliability-report.py $$tree

# The station against the floor program: table, out/bench.csv, out/bench.png.
.PHONY: bench
bench: deps
	@$(RUN_TREE) bash bench/run-bench.sh $$tree

clean:
	-bash scripts/wine-env.sh $(BUILD) stop 2>/dev/null
	-bash scripts/wine-env.sh $(BUILD64) stop 2>/dev/null
	rm -rf $(BUILD) $(BUILD64) out
