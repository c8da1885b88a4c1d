# Top-level entry points. `make test` installs what is missing, builds and runs every test.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_ARGS ?=
# make install: where to, and a staging root (empty: install in place).
PREFIX  ?= /usr/local
DESTDIR ?=
RELEASE_BUILD ?= build-release
DEB_BUILD     ?= build-deb
RELEASE_ARGS = -DCMAKE_BUILD_TYPE=Release -DESM_BUILD_TESTS=OFF -DESM_BUILD_BENCH=OFF
VERSION := $(shell sed -n 's/^project.esm_synth VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

# Every date a build writes (manual pages, package members) is the last commit's, so that two
# builds of one commit give the same bytes: from git, or in a tree unpacked from `make dist`
# from the date git archive wrote into packaging/source-date-epoch. A caller's value wins.
ifeq ($(origin SOURCE_DATE_EPOCH),undefined)
  ifneq ($(wildcard .git),)
    SOURCE_DATE_EPOCH := $(shell git log -1 --format=%ct 2>/dev/null)
  endif
  ifeq ($(SOURCE_DATE_EPOCH),)
    SOURCE_DATE_EPOCH := $(shell grep -Ex '[0-9]+' packaging/source-date-epoch 2>/dev/null)
  endif
endif
ifneq ($(SOURCE_DATE_EPOCH),)
  export SOURCE_DATE_EPOCH
endif

.PHONY: all deps pkg-deps build test demo install deb deb-check reproducible-check dist rules-check \
	completion-check \
	asan-test tsan-test fuzz-smoke format format-check clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# The whole system on loopback: two requests, their answers, then everything stopped.
demo: build
	BUILD=$(BUILD) scripts/demo.sh

# The programs, units, settings and documentation from a Release build of their own, under
# PREFIX (settings under PREFIX/etc, or /etc when PREFIX is /usr), staged under DESTDIR if given.
install: deps
	cmake -S . -B $(RELEASE_BUILD) $(RELEASE_ARGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_ARGS)
	cmake --build $(RELEASE_BUILD) -j$(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE_BUILD) --strip

# What packaging and its checks need besides the build: dpkg-dev, lintian, systemd-analyze,
# bash-completion (the package check runs the completion scripts).
pkg-deps:
	@WITH_PACKAGING=1 scripts/install-deps.sh

# The Debian package, $(DEB_BUILD)/esm-synth_<version>_<arch>.deb: a Release build for /usr with
# Debian's hardening flags, packaged by CPack from what cmake --install installs. Reproducible:
# the same commit gives the same bytes whatever the checkout's path, the time, time zone, locale
# or umask (paths in the programs are written relative to the tree, dates are the commit's,
# modes are normalised before packaging).
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
deb: deps pkg-deps
	@test -n "$(SOURCE_DATE_EPOCH)" || echo "make deb: no SOURCE_DATE_EPOCH (no git, no packaging/source-date-epoch): dates are today's" >&2
	cmake -S . -B $(DEB_BUILD) $(RELEASE_ARGS) -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_ARGS) \
	  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CXXFLAGS) $$($(DEB_FLAGS) CPPFLAGS) -ffile-prefix-map=$(CURDIR)=." \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)"
	cmake --build $(DEB_BUILD) -j$(JOBS)
	rm -f $(DEB_BUILD)/esm-synth_*.deb
	@# The umask sets the modes of the archive members CPack writes.
	cd $(DEB_BUILD) && umask 022 && cpack -G DEB

# The package's contents, lintian, the programs unpacked from it, and its units (CI runs this).
deb-check: deb
	scripts/check-deb.sh $(DEB_BUILD)/esm-synth_*.deb

# The Prometheus rules the package ships: promtool checks them and runs their unit tests.
rules-check:
	@WITH_PROMETHEUS=1 scripts/install-deps.sh
	promtool check rules packaging/prometheus/esm-synth.rules.yml
	cd packaging/prometheus && promtool test rules esm-synth.rules.test.yml

# Bash completion: every option each program's --help lists is completed (CI runs this), on
# the programs and completion scripts of the build, staged under $(BUILD)/stage.
completion-check: build
	@WITH_COMPLETION=1 scripts/install-deps.sh
	rm -rf $(BUILD)/stage
	DESTDIR=$(CURDIR)/$(BUILD)/stage cmake --install $(BUILD) >/dev/null
	prefix=$$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' $(BUILD)/CMakeCache.txt); \
	  scripts/check-completion.sh $(BUILD)/stage$$prefix/bin $(BUILD)/stage$$prefix/share/bash-completion/completions

# Builds the package twice from the last commit, in fresh trees at different paths, times, time
# zones, locales and umasks (a clone and the unpacked `make dist` tarball), and compares them
# byte for byte; diffoscope shows any difference (CI runs this).
reproducible-check: pkg-deps
	@WITH_REPRO=1 scripts/install-deps.sh
	scripts/reproducible-check.sh

# The source release esm-synth-<version>.tar.gz of the last commit (git archive): the same bytes
# for the same commit. A tree unpacked from it builds without git.
dist:
	@test -e .git || { echo "make dist: archives the last commit, so it needs the git repository" >&2; exit 1; }
	@git diff --quiet HEAD || echo "make dist: uncommitted changes are not in the tarball" >&2
	git -c tar.umask=0022 archive --format=tar --prefix=esm-synth-$(VERSION)/ HEAD | gzip -9n >esm-synth-$(VERSION).tar.gz.tmp
	mv esm-synth-$(VERSION).tar.gz.tmp esm-synth-$(VERSION).tar.gz
	@sha256sum esm-synth-$(VERSION).tar.gz

# AddressSanitizer + UndefinedBehaviorSanitizer build, all tests.
asan-test: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Asan -DESM_BUILD_BENCH=OFF
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest --output-on-failure -j$(JOBS)

# ThreadSanitizer build, the tests that run threads and sockets.
tsan-test: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Tsan -DESM_BUILD_BENCH=OFF
	cmake --build build-tsan -j$(JOBS)
	cd build-tsan && ctest --output-on-failure -j$(JOBS) -L "net|e2e"

# libFuzzer targets, a short run each (FUZZ_SECONDS, default 20).
fuzz-smoke:
	@WITH_CLANG=1 scripts/install-deps.sh
	scripts/fuzz.sh $${FUZZ_SECONDS:-20}

# The layout of every C++ file, as .clang-format says.
format:
	scripts/format.sh

format-check:
	@WITH_FORMAT=1 scripts/install-deps.sh
	scripts/format.sh --check

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz $(RELEASE_BUILD) $(DEB_BUILD)
