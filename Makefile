# korven-qxt: the two commands a newcomer needs are `make run` and `make test`.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Debian packages: what building needs, and what the test suite adds.
BUILD_PACKAGES := cmake ninja-build g++ libssl-dev libc-ares-dev
# debootstrap: the Debian 11 root the binary is run in; lintian, help2man and
# systemd (systemd-analyze): the Debian package, its man page and its unit;
# jq: the HiveOS statistics script; prometheus: promtool and a real server for
# the status-server tests.
TEST_PACKAGES := $(BUILD_PACKAGES) openssl libgtest-dev libargon2-dev qemu-user clang libclang-rt-14-dev \
  debootstrap lintian help2man systemd jq prometheus
# make package: help2man writes the man page, lintian checks the .deb.
PACKAGE_PACKAGES := $(BUILD_PACKAGES) help2man lintian

.PHONY: all build test deps test-deps test-release test-asan test-tsan test-fuzz run clean hiveos package

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

# Sanitizer builds run everything but the tests that hash (label "hash"):
# those map 2 GiB arenas and take seconds per hash even without instrumentation;
# and the tests that run the binary under qemu-user (label "qemu"), whose
# emulation does not carry the sanitizers' shadow memory.
SANITIZER_CMAKE := -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 -DQXT_TESTS=ON -DQXT_WERROR=ON
FUZZ_SECONDS ?= 45

test: test-deps test-release test-asan test-tsan test-fuzz

test-release:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXT_TESTS=ON -DQXT_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(BUILD)-asan $(SANITIZER_CMAKE) -DQXT_SANITIZE=asan
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS) -LE 'hash|qemu'

test-tsan:
	cmake -S . -B $(BUILD)-tsan $(SANITIZER_CMAKE) -DQXT_SANITIZE=tsan
	cmake --build $(BUILD)-tsan -j $(JOBS)
	cd $(BUILD)-tsan && ctest --output-on-failure -j $(JOBS) -LE 'hash|qemu'

# libFuzzer (clang) on every parser of outside input, bounded in time: the
# JSON reader and the pool's line handler, the pool URL parser, the
# verification file, the settings file (-c), and the status
# server's request parser and text escapers. Each target is listed with its
# seed corpus under tests/fuzz/; what it finds is kept in the build folder's
# folder of the same name. The pool line gets FUZZ_SECONDS, every other
# target FUZZ_SECONDS_EACH.
FUZZ_RUNS := fuzz_pool_line:corpus fuzz_pool_url:url_corpus \
  fuzz_verify_records:corpus_verify fuzz_config_file:config_corpus fuzz_http_request:http_corpus
FUZZ_TARGETS := $(foreach run,$(FUZZ_RUNS),$(firstword $(subst :, ,$(run))))
FUZZ_SECONDS_EACH ?= 20
test-fuzz:
	CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
	  -DQXT_TESTS=ON -DQXT_FUZZ=ON -DQXT_SANITIZE=asan
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	set -e; for run in $(FUZZ_RUNS); do \
	  target=$${run%%:*}; corpus=$${run#*:}; seconds=$(FUZZ_SECONDS_EACH); \
	  if [ $$target = fuzz_pool_line ]; then seconds=$(FUZZ_SECONDS); fi; \
	  mkdir -p $(BUILD)-fuzz/$$corpus; \
	  $(BUILD)-fuzz/tests/fuzz/$$target -max_total_time=$$seconds -print_final_stats=1 \
	    $(BUILD)-fuzz/$$corpus tests/fuzz/$$corpus; \
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
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz
