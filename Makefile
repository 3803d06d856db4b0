# Every target does its own set-up: missing Debian packages are installed
# first (scripts/deps.sh asks apt only when something is missing).
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= 2

.PHONY: all deps configure build demo test bench deb clean

all: build

deps:
	scripts/deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

demo: configure
	cmake --build $(BUILD) -j$(JOBS) --target quorvane quorvane-demo
	QUORVANE_BUILD_DIR=$(CURDIR)/$(BUILD) scripts/demo.sh

test: deps
	scripts/test.sh

bench: configure
	cmake --build $(BUILD) -j$(JOBS) --target quorvane-bench
	$(BUILD)/quorvane-bench

deb: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build build-asan
