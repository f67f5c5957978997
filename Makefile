# Wraps CMake. Every target builds into build/ (and build-asan/ for the
# sanitizer run of `make test`).
BUILD ?= build
ASAN_BUILD ?= build-asan
RELEASE_BUILD ?= build-release
DEB_BUILD ?= build-deb
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
CTEST_FLAGS ?= --output-on-failure -j $(JOBS)
# ccache, when present, shares objects between checkouts (CI's fresh clone included).
LAUNCHER := $(shell command -v ccache >/dev/null 2>&1 && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1

.PHONY: all configure test test-plain test-asan release demo bench fuzz install deb clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -G "$(GENERATOR)" $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo

test: test-plain test-asan

test-plain: all
	ctest --test-dir $(BUILD) $(CTEST_FLAGS)

test-asan:
	@test -f $(ASAN_BUILD)/CMakeCache.txt || cmake -S . -B $(ASAN_BUILD) -G "$(GENERATOR)" $(LAUNCHER) \
	  -DCMAKE_BUILD_TYPE=Debug -DTARVENHOLM_SANITIZE=ON -DTARVENHOLM_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) $(CTEST_FLAGS)

# What users run (the demo, make install): built without the fault switch.
release:
	@test -f $(RELEASE_BUILD)/CMakeCache.txt || cmake -S . -B $(RELEASE_BUILD) -G "$(GENERATOR)" $(LAUNCHER) \
	  -DCMAKE_BUILD_TYPE=Release -DTARVENHOLM_FAULT_SWITCH=OFF -DTARVENHOLM_TESTS=OFF -DTARVENHOLM_BENCH=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

demo: release
	bash scripts/demo-run $(RELEASE_BUILD)

bench: configure
	cmake --build $(BUILD) -j $(JOBS)
	bash scripts/bench-run $(BUILD)

fuzz:
	bash scripts/fuzz-run

install: release
	cmake --install $(RELEASE_BUILD)

# The Debian package, built by dpkg-buildpackage (which writes beside the
# checkout) and moved with its build records to $(DEB_BUILD)/.
deb:
	dpkg-buildpackage -us -uc -b -j$(JOBS)
	rm -rf $(DEB_BUILD) && mkdir -p $(DEB_BUILD)
	version=$$(dpkg-parsechangelog -S Version) && \
	  for file in ../tarvenholm_$${version}_* ../tarvenholm-dbgsym_$${version}_*; do \
	    if [ -e "$$file" ]; then mv "$$file" $(DEB_BUILD)/; fi; \
	  done
	ls $(DEB_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD) $(DEB_BUILD)
