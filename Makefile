# Quick start: `make run` backs up the bundled example; `make test` builds
# every configuration and runs every test. Both install what is missing.
PRESETS := linux linux-asan win64 win32

.PHONY: all deps build test run run-window bench fuzz stress clean $(addprefix build-,$(PRESETS))

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

clean:
	rm -rf build
