# Entry points for newcomers; the build itself lives in CMake (see CMakePresets.json).
#   make demo   install dependencies, build, make a demo card image and scan it
#   make test   install dependencies, build, and run every test (plain, sanitized, fuzzed)

DEMO_IMAGE ?= build/demo-card.img
FUZZ_SECONDS ?= 60

.PHONY: all deps build demo test test-dev test-asan fuzz format clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake --preset dev
	cmake --build --preset dev

demo: build
	./build/dev/tools/pictavo-make-demo $(DEMO_IMAGE)
	./build/dev/src/cli/pictavo-cli scan --format table $(DEMO_IMAGE)

test-dev: build
	ctest --preset dev

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan

fuzz: deps
	./fuzz/run.sh $(FUZZ_SECONDS)

test: test-dev test-asan fuzz

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build
