# Entry points named in the README. Everything configures itself on first use.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: setup build test demo bench clean

setup:
	scripts/setup

build: setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	scripts/demo

bench: build
	bench/run

clean:
	rm -rf $(BUILD)
