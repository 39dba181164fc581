# korven-qxt: the two commands a newcomer needs are `make run` and `make test`.
SHELL := /bin/bash
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Debian packages: what building needs, and what the test suite adds.
BUILD_PACKAGES := cmake ninja-build g++
# debootstrap: the Debian 11 root the binary is run in; lintian, help2man and
# systemd (systemd-analyze): the Debian package, its man page and its unit;
# jq: the HiveOS statistics script; prometheus: promtool and a real server for
# the status-server tests.
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev libargon2-dev qemu-user clang libclang-rt-14-dev \
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
# JSON reader and the pool's line handler, DNS replies, the hosts file and
# resolv.conf, the verification file, the settings file (-c), and the status
# server's request parser and text escapers.
FUZZ_TARGETS := fuzz_pool_line fuzz_dns_reply fuzz_resolver_files fuzz_verify_records fuzz_config_file \
  fuzz_http_request
FUZZ_SECONDS_EACH ?= 20
test-fuzz:
	CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
	  -DQXT_TESTS=ON -DQXT_FUZZ=ON -DQXT_SANITIZE=asan
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	mkdir -p $(BUILD)-fuzz/corpus $(BUILD)-fuzz/corpus_dns $(BUILD)-fuzz/corpus_files $(BUILD)-fuzz/corpus_verify \
	  $(BUILD)-fuzz/config_corpus $(BUILD)-fuzz/http-corpus
	$(BUILD)-fuzz/tests/fuzz/fuzz_pool_line -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  $(BUILD)-fuzz/corpus tests/fuzz/corpus
	$(BUILD)-fuzz/tests/fuzz/fuzz_dns_reply -max_total_time=$(FUZZ_SECONDS_EACH) -print_final_stats=1 \
	  $(BUILD)-fuzz/corpus_dns tests/fuzz/corpus_dns
	$(BUILD)-fuzz/tests/fuzz/fuzz_resolver_files -max_total_time=$(FUZZ_SECONDS_EACH) -print_final_stats=1 \
	  $(BUILD)-fuzz/corpus_files tests/fuzz/corpus_files
	$(BUILD)-fuzz/tests/fuzz/fuzz_verify_records -max_total_time=$(FUZZ_SECONDS_EACH) -print_final_stats=1 \
	  $(BUILD)-fuzz/corpus_verify tests/fuzz/corpus_verify
	$(BUILD)-fuzz/tests/fuzz/fuzz_config_file -max_total_time=$(FUZZ_SECONDS_EACH) -print_final_stats=1 \
	  $(BUILD)-fuzz/config_corpus tests/fuzz/config_corpus
	$(BUILD)-fuzz/tests/fuzz/fuzz_http_request -max_total_time=$(FUZZ_SECONDS_EACH) -print_final_stats=1 \
	  $(BUILD)-fuzz/http-corpus tests/fuzz/http_corpus

# make run: mine against the bundled test pool on 127.0.0.1.
# make run POOL=host:port ADDRESS=<your QXT address> [ARGS="-t 4 ..."]: mine for real.
POOL ?=
ADDRESS ?=
ARGS ?=
run:
ifeq ($(strip $(POOL)),)
	$(call install_missing,$(BUILD_PACKAGES) libargon2-dev)
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DQXT_TOOLS=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target korven-qxt qxt-test-pool
	tools/run-local.sh $(BUILD) $(ARGS)
else
	@[ -n "$(ADDRESS)" ] || { echo "make run POOL=host:port needs ADDRESS=<your QXT payout address>"; exit 2; }
	$(MAKE) --no-print-directory build
	./$(BUILD)/korven-qxt -o $(POOL) -u $(ADDRESS) $(ARGS)
endif

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz
