# Ferrowick: `make run` builds and starts the program, `make test` builds and
# runs every test (plus once more under the address and undefined-behaviour
# sanitizers). Both install the Debian packages that are missing first.
# ./run.sh and ./test.sh do the same on a Debian that has no make yet.

# Every Debian package the project needs, in one place.
DEBIAN_PACKAGES := build-essential cmake pkg-config \
  qt6-base-dev \
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev \
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-x \
  gstreamer1.0-plugins-ugly gstreamer1.0-libav \
  gstreamer1.0-pipewire gstreamer1.0-plugins-base-apps \
  pipewire pipewire-bin wireplumber dbus-daemon libpipewire-0.3-dev \
  libgtest-dev libbenchmark-dev \
  file lintian desktop-file-utils appstream xvfb x11-utils xdotool \
  locales
# The web page: its server (libsoup, TLS through GIO's backend), and the
# browser its tests drive (chromium headless through Selenium); openssl makes
# the HTTPS test's certificate; systemd-analyze checks the user unit.
DEBIAN_PACKAGES += libsoup-3.0-dev glib-networking chromium chromium-driver python3-selenium \
  openssl systemd
# The time zone database: active hours follow the clocks through
# daylight-saving changes, and their tests name zones.
DEBIAN_PACKAGES += tzdata

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

SUDO := $(shell [ "$$(id -u)" -eq 0 ] || echo sudo)

# The tests run a second time under a locale whose decimal separator is a
# comma, so nothing that depends on the user's language slips through.
TEST_LOCALE := de_DE.UTF-8

.PHONY: all deps locale build run test test-asan bench clean package package-validate package-check

all: build

deps:
	@missing=$$(for p in $(DEBIAN_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

# Generates TEST_LOCALE when the system does not have it yet.
locale: deps
	@locale -a 2>/dev/null | grep -qix "$$(echo '$(TEST_LOCALE)' | sed 's/UTF-8/utf8/')" || { \
	  echo "Generating locale $(TEST_LOCALE)"; \
	  grep -q '^$(TEST_LOCALE) UTF-8' /etc/locale.gen 2>/dev/null || \
	    echo '$(TEST_LOCALE) UTF-8' | $(SUDO) tee -a /etc/locale.gen >/dev/null; \
	  $(SUDO) locale-gen; \
	}

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

run: build
	cd $(BUILD) && ./ferrowick

test: build locale
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(JOBS)
	cd $(BUILD) && LANG=$(TEST_LOCALE) LC_ALL=$(TEST_LOCALE) QT_QPA_PLATFORM=offscreen \
	  ctest --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory test-asan

# Allocation stacks unwound in full (GLib has no frame pointers) and 8 frames
# deep, so that they hold the frames tests/lsan.supp names: the dynamic
# loader below GLib's constructor, GLib's exported quark calls.
ASAN_STACKS := fast_unwind_on_malloc=0:malloc_context_size=8

# The sanitizer runtime of Debian 12's compiler takes a thread's dynamic TLS
# block (a library loaded at run time, such as a GStreamer or SPA plugin) that
# malloc placed 16 bytes into a page for the header of glibc 2.19's blocks,
# reads a start and length from the allocator's chunk header in front of it,
# and the leak check at exit dies scanning them ("Tracer caught signal 11",
# now and then, as the heap's layout falls). Since glibc 2.25 those blocks
# are malloc's and reached through the thread's vector of them, so the leak
# check loses nothing without the interception.
ASAN_TLS := intercept_tls_get_addr=0

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_ARGS) -DFERROWICK_SANITIZE=ON -DFERROWICK_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target ferrowick_tests
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:$(ASAN_STACKS):$(ASAN_TLS) \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j$(JOBS)

# The video benchmark measures itself against ffmpeg, which nothing else needs.
BENCH_PACKAGES := ffmpeg

bench: build
	@command -v ffmpeg >/dev/null || { echo "Installing" $(BENCH_PACKAGES); \
	  $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(BENCH_PACKAGES); }
	cd $(BUILD) && for b in bench/bench_*; do echo "== $$b"; QT_QPA_PLATFORM=offscreen ./$$b; done

# The Debian package, made by CPack from the build tree the tests ran on.
package: build
	rm -f $(BUILD)/ferrowick_*.deb
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/ferrowick_*.deb

# lintian, desktop-file-validate and appstreamcli on the package.
package-validate: package
	packaging/validate.sh $(BUILD)

# Installs the package, captures with the installed program, removes it again.
package-check: package
	packaging/check-install.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
