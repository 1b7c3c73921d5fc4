# Set-up and test entry points. `make test` is all a fresh machine needs.
PACKAGES := cmake ninja-build g++ clang libclang-rt-14-dev lld libgtest-dev libgmock-dev \
            libbenchmark-dev libxml2-dev libcli11-dev nlohmann-json3-dev \
            g++-mingw-w64-x86-64
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30

.PHONY: all deps build test asan tsan clang fuzz fuzz-run demo bench clean

all: build

# Installs only what is missing, so that a machine that has everything does nothing.
deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	  $$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

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

clean:
	rm -rf build
