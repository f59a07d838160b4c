# Every target runs the setup first, so each one works on a fresh machine.
#   make demo    build, then run the tool on the emulated hardware
#   make test    sanitizer builds and every test, then test-kernel
#   make test-kernel  the release build against devices made real by the
#                kernel's USB gadget side, in Debian's kernel under QEMU
#   make bench   release build and the benchmarks; ends with the table of
#                every hot path against its goal, raw results as JSON in
#                build/bench-results/
#   make fuzz    libFuzzer build and a short run of every fuzz target
#   make lint    formatting, layer order and clang-tidy
#   make package the Debian package tyvo-reset_VERSION_ARCH.deb (release
#                build for the prefix /usr, in build/package)

JOBS     ?= $(shell nproc)
FUZZ_SECONDS ?= 20
CMAKE_GEN = -G Ninja
# Test builds: no benchmarks, and line tables rather than full debug
# information (enough for sanitizer stack traces, much quicker to build).
TEST_FLAGS = -DTYVO_BENCH=OFF -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1

.PHONY: all setup demo test check test-asan test-tsan test-kernel bench fuzz lint build package clean

all: build

setup:
	@scripts/setup

build: setup
	cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build build/release -j $(JOBS)

demo: build
	build/release/app/tyvo-reset --simulate

test: check test-asan test-tsan test-kernel

# The quick checks first: formatting and the layer order (seconds).
check: setup
	scripts/lint --no-tidy

lint: setup
	@scripts/setup --bench --fuzz
	scripts/lint

test-asan: setup
	cmake -S . -B build/asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug $(TEST_FLAGS) -DTYVO_SANITIZE=address,undefined
	cmake --build build/asan
	cd build/asan && ctest --output-on-failure -j $(JOBS)

test-tsan: setup
	cmake -S . -B build/tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug $(TEST_FLAGS) -DTYVO_SANITIZE=thread \
	  -DTYVO_CONCURRENCY_TESTS_ONLY=ON
	cmake --build build/tsan
	cd build/tsan && ctest --output-on-failure -j $(JOBS) -L concurrency

# The release build's tool and device programs (only those are built
# here); the kernel and initramfs are prepared once into build/kernel; the
# guest's run is bounded from the host. Uses KVM when /dev/kvm is there.
test-kernel: setup
	@scripts/setup --kernel
	cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build build/release -j $(JOBS) --target tyvo-reset tyvo-fx3-gadget tyvo-uvc-gadget
	tests/kernel/run build/release

bench: setup
	@scripts/setup --bench
	cmake -S . -B build/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build build/release -j $(JOBS)
	scripts/run-benchmarks build/release build/bench-results

fuzz: setup
	@scripts/setup --fuzz
	cmake -S . -B build/fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 -DTYVO_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)
	scripts/run-fuzzers build/fuzz $(FUZZ_SECONDS)

# A build of its own: the programs must look for the firmware files under
# /usr, where the package puts everything, and need no tests. Hardened as
# Debian builds its packages (fortified functions, read-only relocations
# bound at start-up).
PACKAGE_HARDENING = -DCMAKE_C_FLAGS=-D_FORTIFY_SOURCE=2 -DCMAKE_CXX_FLAGS=-D_FORTIFY_SOURCE=2 \
  -DCMAKE_EXE_LINKER_FLAGS=-Wl,-z,relro,-z,now
package: setup
	cmake -S . -B build/package $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DTYVO_TESTS=OFF -DTYVO_BENCH=OFF $(PACKAGE_HARDENING)
	cmake --build build/package -j $(JOBS) --target package
	@ls -1 build/package/*.deb

clean:
	rm -rf build
