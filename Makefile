# The two everyday commands: `make demo` and `make test`. Both install what a
# fresh Debian machine lacks, configure and build first.
BUILD ?= build
JOBS ?= 2
WERROR ?= ON
CMAKE_FLAGS ?=

.PHONY: all deps build test demo clean

all: build

deps:
	@tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCORLUNE_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: build
	mkdir -p out
	$(BUILD)/corlune examples/twovoice.wav out
	ls -l out
	/usr/bin/python3 python/corlune-view out/twovoice --png out/twovoice.png

clean:
	rm -rf $(BUILD) out
