# Quick start: `make run` backs up the bundled example; `make test` builds
# every configuration and runs every test. Both install what is missing.
PRESETS := linux linux-asan win64 win32

.PHONY: all deps build test run run-window bench fuzz stress dist dist-check clean $(addprefix build-,$(PRESETS))

all: build

deps:
	@./scripts/setup-deps.sh

build: $(addprefix build-,$(PRESETS))

$(addprefix build-,$(PRESETS)): build-%: deps
	@cmake --preset $* >/dev/null
	@cmake --build --preset $*

test: deps
	@./scripts/test-all.sh $(PRESETS)

run: deps build-win64
	@./scripts/run-example.sh

# The window on the example (or DIR=...); needs a display.
run-window: deps build-win64
	@./scripts/run-window.sh $(DIR)

# The backup list fuzzer for FUZZ_TIME seconds (default 10 minutes).
FUZZ_TIME ?= 600
fuzz: deps
	@./tests/fuzz/run.sh $(FUZZ_TIME)

# 200,000 files, ten runs with changes between them, each copy checked.
stress: deps build-linux
	@./tests/reliability/stress.sh

# Speed and memory against cp -a, rsync -a and Wine's xcopy (BENCH_FILES=100000);
# nothing to copy onto exFAT (BENCH_EXFAT_FILES=20000) and onto a network drive
# (BENCH_NET_FILES=20000); many unreadable files (BENCH_FAIL_FILES=10000), each
# of those runs stopped after BENCH_LIMIT=900 s.
bench: deps build-linux build-win64
	@./bench/run.sh $(BENCH_FILES)

# The release zips for Windows and their SHA256SUMS, in dist/.
dist: deps
	@./scripts/dist.sh

# make dist twice in two other folders: the same bytes; then each zip's
# program run from the unpacked zip under Wine.
dist-check: deps
	@./tests/dist/check.sh

clean:
	rm -rf build dist
