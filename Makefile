# Front door of the project: `make` builds, `make run` starts the player in
# simulator mode, `make test` runs every test. Each target first installs the
# Debian packages it needs when they are missing.
.DEFAULT_GOAL := all
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
DEVICE_BUILD ?= build-device
JOBS ?= $(shell nproc)

# What runs in private namespaces needs root: another user is asked through
# sudo, as tools/install-deps does for its packages.
AS_ROOT = $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: bench-stream-outage
# The stream engine beside mpv on icecast2 and nginx: first audio, and what
# network drop-outs of 5, 15 and 60 s cost each (a few minutes).
bench-stream-outage: test-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target ze-stream
	$(AS_ROOT) env ZE_STREAM_BIN=$(CURDIR)/$(BUILD)/ze-stream python3 -B bench/stream_outage.py

.PHONY: all build run test test-asan test-tsan deps test-deps clean device test-device device-deps \
  device-test-deps package soak test-system system-deps

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
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -LE system

# The unit tests once more under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DZE_RADIO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS) -L unit

# The unit tests under ThreadSanitizer, with the concurrency tests that run
# the readers, start threads, update checkers and the installer beside a
# frame loop. The first race fails the test that meets it.
TSAN_OPTIONS_RUN = halt_on_error=1 second_deadlock_stack=1 history_size=4
# The ThreadSanitizer of g++ 12 fails at start on kernels that randomise
# addresses more widely (vm.mmap_rnd_bits 32): the tests run without address
# randomisation wherever the system allows it.
TSAN_NO_ASLR = $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)
test-tsan: test-deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DZE_RADIO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS="$(TSAN_OPTIONS_RUN)" $(TSAN_NO_ASLR) \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -L unit

# The soak test: the player driven at random for SOAK_SECONDS inside private
# namespaces (as root: through sudo for another user).
SOAK_SECONDS ?= 120

soak: test-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target ze-radio
	$(AS_ROOT) env ZE_RADIO_BIN=$(CURDIR)/$(BUILD)/ze-radio ZE_RADIO_BUILD=$(CURDIR)/$(BUILD) \
	  ZE_RADIO_SOURCE=$(CURDIR) SOAK_SECONDS=$(SOAK_SECONDS) python3 -B tests/soak/soak.py

# The console build: fully static aarch64 programs, $(DEVICE_BUILD)/ze-radio
# and the stream engine $(DEVICE_BUILD)/ze-stream.
device-deps:
	@tools/install-deps device

device-test-deps:
	@tools/install-deps device-test

$(DEVICE_BUILD)/build.ninja:
	cmake -S . -B $(DEVICE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DZE_RADIO_STATIC=ON

device: device-deps $(DEVICE_BUILD)/build.ninja
	cmake --build $(DEVICE_BUILD) -j $(JOBS) --target ze-radio ze-stream

# The unit tests of the console build, run under qemu-aarch64, and the static
# stream engine playing a live stream with an older system's C library. Left out:
# - tests that rely on posix_spawn returning only once the child has exec'd:
#   qemu-user runs its vfork as a plain fork, so there a missing program looks
#   started (and exits with 127), a new process group may not exist yet
#   when posix_spawn returns, and a child's recorded program name is still
#   "qemu-aarch64";
# - tests that start the other programs of the build (snapshot and icon
#   tools): an aarch64 program cannot start another one without binfmt_misc.
DEVICE_TEST_EXCLUDE = MissingProgramIsAnError NewGroupAndNonBlockingWaitAndGroupKill \
  StreamEngineRunsInItsOwnGroupAndRecordsItsState ReconnectTakesUpALiveEngineOnly \
  CatalogFailuresAreReported StartedCheckSendsItsOneMessage SmallOrBrokenDownloadsAreRejected \
  DesktopPlayersAreProbedBeforeTheyStart NoBackendIsAnErrorWithItsText SnapshotTool\. IconTool\. \
  TheReadmePicturesAreWhatTheToolsDrawNow
empty :=
space := $(empty) $(empty)

test-device: device-test-deps $(DEVICE_BUILD)/build.ninja
	cmake --build $(DEVICE_BUILD) -j $(JOBS)
	ctest --test-dir $(DEVICE_BUILD) --output-on-failure -j $(JOBS) -L unit \
	  -E '$(subst $(space),|,$(strip $(DEVICE_TEST_EXCLUDE)))'
	ZE_STREAM_DEVICE_BIN=$(CURDIR)/$(DEVICE_BUILD)/ze-stream python3 -B tests/device/test_engine_old_glibc.py

# The tests on a real kernel: the console build's test programs booted in an
# arm64 guest under qemu-system-aarch64 (Debian's kernel and busybox, fetched
# once into ~/.cache/ze-radio/system). `make test` leaves them out.
SYSTEM_PROGRAMS = alsa_loopback_check console_tool ze-radio ze-stream ze-radio-signed ze-radio-signed-next

system-deps:
	@tools/install-deps system

test-system: system-deps $(DEVICE_BUILD)/build.ninja
	cmake --build $(DEVICE_BUILD) -j $(JOBS) --target $(SYSTEM_PROGRAMS)
	cmake -S . -B $(BUILD) -G Ninja -DZE_RADIO_DEVICE_BUILD=$(abspath $(DEVICE_BUILD))
	cmake --build $(BUILD) -j $(JOBS) --target ze-radio-snapshot ze-radio-icon
	ctest --test-dir $(BUILD) --output-on-failure -L system

# dist/ze-radio-<version>.zip, the app folder for /mnt/SDCARD/Apps/. The
# device build is configured again each time, so the program reports the
# package's version: make package VERSION=x.y.z for another version than the
# project's, PUBLIC_KEY=file.pub (tools/make-update-key) for a release whose
# program accepts only updates signed with the matching secret key. Without
# a key it refuses, unless UNSIGNED=1 asks for a program that installs
# unsigned updates; that package's name ends in "-unsigned".
package: package-key device-deps deps $(BUILD)/build.ninja
	cmake -S . -B $(DEVICE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DZE_RADIO_STATIC=ON \
	  -DZE_RADIO_VERSION="$(VERSION)" -DZE_RADIO_PUBLIC_KEY="$(if $(PUBLIC_KEY),$(abspath $(PUBLIC_KEY)))"
	cmake --build $(DEVICE_BUILD) -j $(JOBS) --target ze-radio ze-stream
	cmake --build $(BUILD) -j $(JOBS) --target ze-radio-icon
	ZE_RADIO_ICON_TOOL=$(BUILD)/ze-radio-icon \
	  tools/package --binary $(DEVICE_BUILD)/ze-radio --engine $(DEVICE_BUILD)/ze-stream $(if $(VERSION),--version $(VERSION)) \
	  $(if $(PUBLIC_KEY),,--unsigned)

.PHONY: package-key
package-key:
	@if [ -z "$(PUBLIC_KEY)" ] && [ "$(UNSIGNED)" != 1 ]; then \
	  echo "package: no PUBLIC_KEY: give PUBLIC_KEY=file.pub (tools/make-update-key makes one), or UNSIGNED=1 for a program that installs unsigned updates" >&2; \
	  exit 1; \
	fi

# The README's pictures, drawn afresh by the player's own code: each
# docs/screens/NAME.json becomes docs/screen-NAME.png, and the icon. A test
# fails while any of them differs from what the tools draw now. Times of day
# are drawn in UTC.
.PHONY: pictures
pictures: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target ze-radio-snapshot ze-radio-icon
	for scenario in docs/screens/*.json; do \
	  TZ=UTC ./$(BUILD)/ze-radio-snapshot "$$scenario" "docs/screen-$$(basename "$$scenario" .json).png" || exit 1; \
	done
	./$(BUILD)/ze-radio-icon docs/icon.png

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)

# Fuzzing: every reader of outside input as a libFuzzer target (clang,
# AddressSanitizer, UndefinedBehaviorSanitizer) in $(FUZZ_BUILD). The seeds
# and the inputs of faults found earlier are replayed once, then each target
# is fuzzed for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=5 FUZZ_TARGETS="catalog
# manifest" for a short pass over two targets).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=

.PHONY: fuzz fuzz-deps bench

# Benchmarks in a Release build: each figure per frame and as a ratio to a
# memset + memcpy of the screen measured in the same run, then the player
# itself in simulator mode (CPU share of a core and resident memory),
# built without the desktop window as on the console.
BENCH_BUILD ?= build-rel

$(BENCH_BUILD)/build.ninja:
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DZE_RADIO_WINDOW=OFF

bench: test-deps $(BENCH_BUILD)/build.ninja
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target bench_render ze-radio
	./$(BENCH_BUILD)/bench/bench_render --process=$(BENCH_BUILD)/ze-radio

.PHONY: bench-stream
# The stream engine's cost beside ffmpeg's, as ratios measured in one run.
bench-stream: test-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target ze-stream
	ZE_STREAM_BIN=$(CURDIR)/$(BUILD)/ze-stream python3 -B bench/stream_cost.py

fuzz-deps:
	@tools/install-deps fuzz

$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DZE_RADIO_FUZZ=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo

fuzz: fuzz-deps $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target ze_fuzz_targets
	tools/run-fuzz --build $(FUZZ_BUILD) --regress $(FUZZ_TARGETS)
	tools/run-fuzz --build $(FUZZ_BUILD) --seconds $(FUZZ_SECONDS) $(FUZZ_TARGETS)
