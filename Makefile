# Set-up commands for a fresh Debian 12 machine: `make run` and `make test`.
BUILD_DIR ?= build/release
ASAN_DIR ?= build/asan
JOBS ?= $(shell nproc)
CMAKE_GEN ?= -G Ninja

.PHONY: all deps build run test test-release test-asan deb format clean

all: build

deps:
	@./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "tavrik: no display (DISPLAY is not set) - start it under a desktop or xvfb-run, or use the console front end: $(BUILD_DIR)/bin/tavrik-cli fill LEFT RIGHT"; \
	  exit 1; \
	fi
	$(BUILD_DIR)/bin/tavrik

test: test-release test-asan

test-release: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_DIR) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTAVRIK_SANITIZE=ON
	cmake --build $(ASAN_DIR) -j $(JOBS)
	cd $(ASAN_DIR) && QT_QPA_PLATFORM=offscreen \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# The Debian package, built with debhelper from a copy of the tree (dpkg-buildpackage writes
# next to the source folder, so the copy keeps the checkout clean), then checked by lintian.
DEB_DIR ?= build/deb
DEB_SRC = $(DEB_DIR)/tavrik-$(shell dpkg-parsechangelog -S Version)

deb: deps
	rm -rf $(DEB_DIR)
	mkdir -p $(DEB_SRC)
	rsync -a --exclude=/build --exclude=/.git ./ $(DEB_SRC)/
	cd $(DEB_SRC) && dpkg-buildpackage -us -uc -b
	lintian --fail-on error --info $(DEB_DIR)/*.changes
	@echo "package: $$(ls $(DEB_DIR)/*.deb)"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
