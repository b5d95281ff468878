# Ferrowick: `make run` builds and starts the program, `make test` builds and
# runs every test (plus once more under the address and undefined-behaviour
# sanitizers). Both install the Debian packages that are missing first.

# Every Debian package the project needs, in one place.
DEBIAN_PACKAGES := build-essential cmake pkg-config \
  qt6-base-dev \
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-x \
  gstreamer1.0-pipewire gstreamer1.0-plugins-base-apps \
  pipewire pipewire-bin wireplumber dbus-daemon libpipewire-0.3-dev \
  libgtest-dev libbenchmark-dev

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

.PHONY: all deps build run test test-asan bench clean

all: build

deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	cd $(BUILD) && ./ferrowick

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory test-asan

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_ARGS) -DFERROWICK_SANITIZE=ON -DFERROWICK_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target ferrowick_tests
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j$(JOBS)

bench: build
	cd $(BUILD) && for b in bench/bench_*; do echo "== $$b"; QT_QPA_PLATFORM=offscreen ./$$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
