# Set-up and test entry points. `make test` is all a fresh machine needs.
PACKAGES := cmake ninja-build g++ clang libclang-rt-14-dev lld libgtest-dev libgmock-dev \
            libbenchmark-dev libxml2-dev libcli11-dev nlohmann-json3-dev \
            g++-mingw-w64-x86-64 python3 clang-format
# The Windows executable: the cross compiler, and dpkg-dev for `apt-get source libxml2`.
WINDOWS_PACKAGES := cmake ninja-build g++-mingw-w64-x86-64 dpkg-dev
# Its test under Wine (64-bit Wine alone: Conduit.exe is a 64-bit program).
WINE_PACKAGES := wine64
JOBS ?= $(shell nproc)
# libxml2 for Windows is built with at most this many jobs.
LIBXML2_JOBS ?= 2
FUZZ_SECONDS ?= 30

.PHONY: all deps build test asan tsan clang fuzz fuzz-run demo bench soak load clean windows-deps windows wine-deps wine-test

all: build

# Installs those of the packages $(1) that are missing, so that a machine that has everything
# does nothing.
define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --preset default

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

clang: deps
	cmake --preset clang
	cmake --build --preset clang -j $(JOBS)
	ctest --preset clang

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)

# A short run of every fuzz target over its seeds, as CI does.
fuzz-run: fuzz
	@for f in build/fuzz/fuzz/*_fuzzer; do \
	  [ -x "$$f" ] || continue; \
	  name=$$(basename $$f); corpus=build/fuzz/corpus/$$name; mkdir -p $$corpus; \
	  echo "== $$name ($(FUZZ_SECONDS) s)"; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$corpus fuzz/seeds/$$name || exit 1; \
	done

demo: build
	./target/demo.sh build/default

bench: build
	@for b in build/default/bench/*_bench; do [ -x "$$b" ] && $$b; done

# Reliability runs with their default durations: the soak (3 minutes) and the load (60 s).
soak: build
	build/default/bench/soak

load: build
	build/default/bench/load

windows-deps:
	$(call install_missing,$(WINDOWS_PACKAGES))

# Conduit.exe for 64-bit Windows (build/windows/Conduit.exe), with libxml2 built once for
# Windows from Debian's source package into the same build tree.
windows: windows-deps
	cmake/build-libxml2-windows.sh build/windows $(LIBXML2_JOBS)
	cmake --preset windows
	cmake --build --preset windows -j $(JOBS)

wine-deps:
	$(call install_missing,$(WINE_PACKAGES))

# Conduit.exe installed and started as a service under Wine in a fresh prefix, driven by
# conduit-cli (built in build/default when missing).
wine-test: windows wine-deps
	tests/wine/run.sh build/windows/Conduit.exe build/default/tools/conduit-cli

clean:
	rm -rf build
