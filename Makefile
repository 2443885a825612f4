# Front door of the project: `make` builds, `make run` starts the player in
# simulator mode, `make test` runs every test. Each target first installs the
# Debian packages it needs when they are missing.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)

.PHONY: all build run test test-asan deps test-deps clean

all: build

deps:
	@tools/install-deps build

test-deps:
	@tools/install-deps test

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	TRIMUI_SIMULATOR=1 ./$(BUILD)/ze-radio

test: test-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The unit tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DZE_RADIO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
