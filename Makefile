# make run   installs what is missing, builds and starts Varnell
# make test  installs what is missing, builds and runs every test
JOBS ?= $(shell nproc)
BUILD := build
ASAN := build-asan
TSAN := build-tsan
CMAKE_FLAGS ?=

.PHONY: all deps build run test test-core test-ui test-tsan asan tsan fuzz package clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	@scripts/run-varnell.sh $(BUILD)/varnell

$(ASAN)/build.ninja:
	cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNELL_SANITIZE=address -DVARNELL_BUILD_UI=OFF

asan: deps $(ASAN)/build.ninja
	cmake --build $(ASAN) -j $(JOBS)

$(TSAN)/build.ninja:
	cmake -S . -B $(TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVARNELL_SANITIZE=thread -DVARNELL_BUILD_UI=OFF

# The threaded engine under ThreadSanitizer: only the test programs of its rooms are built.
TSAN_TESTS := test_base test_dns test_items test_probe test_transport
tsan: deps $(TSAN)/build.ninja
	cmake --build $(TSAN) -j $(JOBS) --target $(TSAN_TESTS)

# Core tests under AddressSanitizer + UndefinedBehaviorSanitizer, then the
# program's own tests (UI offscreen, end to end) on the plain build.
test: build asan
	scripts/run-tests.sh $(ASAN) $(BUILD)

test-tsan: tsan
	cd $(TSAN) && ctest --output-on-failure -L '^(base|dns|items|probe|transport)$$'

fuzz: deps
	scripts/fuzz.sh 60

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(ASAN) $(TSAN) build-fuzz
