# korven-qxt: the two commands a newcomer needs are `make run` and `make test`.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Debian packages: what building needs, and what the test suite adds.
BUILD_PACKAGES := cmake ninja-build g++ libssl-dev libc-ares-dev
# debootstrap: the Debian 11 root the binary is run in; lintian, help2man and
# systemd (systemd-analyze) and strace: the Debian package, its man page, its
# unit and the system calls its filter must allow;
# jq: the HiveOS statistics script; prometheus: promtool and a real server for
# the status-server tests.
TEST_PACKAGES := $(BUILD_PACKAGES) openssl libgtest-dev libargon2-dev qemu-user clang libclang-rt-14-dev \
  debootstrap lintian help2man systemd strace jq prometheus
# make package: help2man writes the man page, lintian checks the .deb.
PACKAGE_PACKAGES := $(BUILD_PACKAGES) help2man lintian

.PHONY: all build test deps test-deps test-release test-asan test-tsan soak fuzz fuzz-runs run clean hiveos package

all: build

define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(BUILD_PACKAGES))

test-deps:
	$(call install_missing,$(TEST_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target korven-qxt

# Rig packages, both written into $(BUILD) with the static binary: make hiveos
# gives the HiveOS custom miner korven-qxt-<version>.tar.gz (packaging/hiveos),
# make package the Debian package korven-qxt_<version>_amd64.deb (CPack, see
# packaging/debian.cmake) and lintian's findings on it (errors fail).
hiveos: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target hiveos

package:
	$(call install_missing,$(PACKAGE_PACKAGES))
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target korven-qxt man-page
	rm -f $(BUILD)/korven-qxt_*_amd64.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/korven-qxt_*_amd64.deb

# make test runs three builds: the release build with every test; one clang
# ASan/UBSan build that runs the tests that do not hash and, from the same
# objects, a few seconds of each libFuzzer target; and a TSan build of the
# tests whose code runs threads of its own. The sanitizer builds leave out the tests that hash (label
# "hash": 2 GiB arenas, seconds per hash even without instrumentation; they
# are not even built there) and those run under qemu-user (label "qemu",
# whose emulation does not carry the sanitizers' shadow memory).
# make soak and make fuzz are the long runs.
# Line tables (-g1) are all a sanitizer's report needs, and build faster.
SANITIZER_CMAKE := -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 -DCMAKE_CXX_FLAGS_DEBUG=-g1 \
  -DQXT_TESTS=ON -DQXT_WERROR=ON \
  -DQXT_HASH_TESTS=OFF
CTEST := ctest --output-on-failure -j $(JOBS)
SOAK_SECONDS ?= 30
FUZZ_SECONDS_EACH ?= 4

test: test-deps test-release test-asan test-tsan

test-release:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXT_TESTS=ON -DQXT_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && QXT_SOAK_SECONDS=$(SOAK_SECONDS) $(CTEST) --output-junit junit.xml

test-asan:
	CXX=clang++ cmake -S . -B $(BUILD)-asan $(SANITIZER_CMAKE) -DQXT_SANITIZE=asan -DQXT_FUZZ=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && QXT_SOAK_SECONDS=$(SOAK_SECONDS) $(CTEST) -LE 'hash|qemu'
	$(MAKE) --no-print-directory fuzz-runs FUZZ_BUILD=$(BUILD)-asan FUZZ_SECONDS=$(FUZZ_SECONDS_EACH)

test-tsan:
	cmake -S . -B $(BUILD)-tsan $(SANITIZER_CMAKE) -DQXT_SANITIZE=tsan
	cmake --build $(BUILD)-tsan -j $(JOBS)
	cd $(BUILD)-tsan && QXT_SOAK_SECONDS=$(SOAK_SECONDS) $(CTEST) -LE 'hash|qemu'

# The long runs: the flapping-pool soak for 10 minutes, and every fuzz target
# for FUZZ_SECONDS (default 120 s) each.
soak:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXT_TESTS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target test_pool_soak
	cd $(BUILD) && QXT_SOAK_SECONDS=$${SOAK_SECONDS_LONG:-600} ctest --output-on-failure -L soak --timeout 1200

FUZZ_SECONDS ?= 120
fuzz:
	CXX=clang++ cmake -S . -B $(BUILD)-asan $(SANITIZER_CMAKE) -DQXT_SANITIZE=asan -DQXT_FUZZ=ON
	cmake --build $(BUILD)-asan -j $(JOBS) --target $(FUZZ_TARGETS)
	$(MAKE) --no-print-directory fuzz-runs FUZZ_BUILD=$(BUILD)-asan FUZZ_SECONDS=$(FUZZ_SECONDS)

# libFuzzer (clang) on every parser of outside input, bounded in time: the
# JSON reader and the pool's line handler, the pool URL parser, the
# verification file, the settings file (-c), and the status
# server's request parser and text escapers. Each target is listed with its
# seed corpus under tests/fuzz/; what it finds is kept in the build folder's
# folder of the same name.
FUZZ_RUNS := fuzz_pool_line:corpus fuzz_pool_url:url_corpus \
  fuzz_verify_records:corpus_verify fuzz_config_file:config_corpus fuzz_http_request:http_corpus
FUZZ_TARGETS := $(foreach run,$(FUZZ_RUNS),$(firstword $(subst :, ,$(run))))
fuzz-runs:
	set -e; for run in $(FUZZ_RUNS); do \
	  target=$${run%%:*}; corpus=$${run#*:}; \
	  mkdir -p $(FUZZ_BUILD)/$$corpus; \
	  $(FUZZ_BUILD)/tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    $(FUZZ_BUILD)/$$corpus tests/fuzz/$$corpus; \
	done

# make run: mine against the bundled test pool on 127.0.0.1 (TLS=1: over TLS,
# with a throw-away certificate the openssl tool makes).
# make run POOL=host:port ADDRESS=<your QXT address> [ARGS="-t 4 ..."]: mine for real.
POOL ?=
ADDRESS ?=
ARGS ?=
TLS ?= 0
run:
ifeq ($(strip $(POOL)),)
	$(call install_missing,$(BUILD_PACKAGES) libargon2-dev openssl)
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXT_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target korven-qxt qxt-test-pool
	QXT_TLS=$(TLS) tools/run-local.sh $(BUILD) $(ARGS)
else
	@[ -n "$(ADDRESS)" ] || { echo "make run POOL=host:port needs ADDRESS=<your QXT payout address>"; exit 2; }
	$(MAKE) --no-print-directory build
	./$(BUILD)/korven-qxt -o $(POOL) -u $(ADDRESS) $(ARGS)
endif

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan
