# Front door of the build. `make deps` installs what is missing, `make` builds into build/,
# `make check` builds and runs every test.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60
PRESET ?= default

DEB_PACKAGES := cmake make g++ pkg-config libplist-dev libxxhash-dev libssl-dev libsqlite3-dev \
  libsystemd-dev libgtest-dev libgmock-dev libbenchmark-dev procps systemd util-linux openssl \
  sqlite3 clang libclang-rt-14-dev clang-format python3

.PHONY: all deps build quiet-build check test demo sandbox bench fuzz asan tsan format clean

all: build

deps:
	@missing=$$(for p in $(DEB_PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
	@# The helper's system accounts (the client group, the verifier's user); creates only what is missing.
	@SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); $$SUDO systemd-sysusers $(CURDIR)/packaging/quorvix-helper.sysusers

build/CMakeCache.txt:
	cmake --preset $(PRESET) > /dev/null

build: build/CMakeCache.txt
	cmake --build build -j $(JOBS)

check: deps
	cmake --preset $(PRESET)
	cmake --build build -j $(JOBS)
	ctest --test-dir build --output-on-failure -j $(JOBS) --label-exclude bench

# The demo and the sandbox keep the build's output in build/build.log and show it only when the build fails.
quiet-build: build/CMakeCache.txt
	@echo "Building; the output goes to build/build.log"
	@cmake --build build -j $(JOBS) > build/build.log 2>&1 || { tail -n 40 build/build.log; exit 1; }

demo: deps quiet-build
	@./scripts/demo.sh

sandbox: deps quiet-build
	@./scripts/sandbox

bench: deps build
	./scripts/run-benchmarks

asan: deps
	cmake --preset asan
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps
	cmake --preset tsan
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

fuzz: deps
	cmake --preset fuzz
	cmake --build build-fuzz -j $(JOBS)
	./scripts/run-fuzzers $(FUZZ_SECONDS)

format:
	find src client tools tests -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz
