# Two entry points for a fresh machine, each first installing what it needs
# (scripts/install-deps.sh):
#   make run   builds polc and compiles the example policy in examples/
#   make test  builds and runs the whole test suite (normal, then sanitizers)
# one to install polc, polcdump, polcq, their man pages, the schemas and the
# bash completion, and one to build a Debian package of the same:
#   make install [PREFIX=/usr/local]
#   make package

BUILD     ?= build
JOBS      ?= 2
FUZZ_SECONDS ?= 60
CMAKE_GEN := -G Ninja
PREFIX    ?= /usr/local

.PHONY: deps-run deps-test run test build install package test-debug build-sanitize test-sanitize test-thread fuzz-smoke tidy clean

deps-run:
	scripts/install-deps.sh run

deps-test:
	scripts/install-deps.sh test

build: deps-run
	cmake -S . -B $(BUILD)/release $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DPOLC_TESTS=OFF
	cmake --build $(BUILD)/release -j $(JOBS)

run: build
	mkdir -p $(BUILD)/example
	rm -f $(BUILD)/example/policy.bin $(BUILD)/example/policy.map
	$(BUILD)/release/driver/polc -c -m -o $(BUILD)/example/policy.bin examples/*.json
	@for file in $(BUILD)/example/policy.bin $(BUILD)/example/policy.map; do \
	  if [ -f "$$file" ]; then echo "written: $$file"; fi; \
	done

install: build
	cmake --install $(BUILD)/release --prefix $(PREFIX)

package: build
	cd $(BUILD)/release && cpack -G DEB

# The fuzzing run comes before the sanitizer suite so that the test runner's
# summary closes the output.
test: deps-test
	$(MAKE) test-debug test-thread fuzz-smoke tidy test-sanitize

# g++, warnings as errors, the whole suite.
test-debug:
	cmake -S . -B $(BUILD)/debug $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_COMPILER=g++ -DPOLC_WERROR=ON
	cmake --build $(BUILD)/debug -j $(JOBS)
	ctest --test-dir $(BUILD)/debug -j $(JOBS) --output-on-failure

# clang++ with AddressSanitizer and UndefinedBehaviorSanitizer: the same
# suite, and the fuzz targets built alongside.
build-sanitize:
	cmake -S . -B $(BUILD)/sanitize $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DPOLC_WERROR=ON -DPOLC_SANITIZE=ON -DPOLC_FUZZ=ON
	cmake --build $(BUILD)/sanitize -j $(JOBS)

test-sanitize: build-sanitize
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(BUILD)/sanitize -j $(JOBS) --output-on-failure

# clang++ with ThreadSanitizer: the golden cases, whose polc runs load their
# files on a second thread; a race report fails the case that shows it.
test-thread:
	cmake -S . -B $(BUILD)/thread $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_COMPILER=clang++ -DPOLC_WERROR=ON -DPOLC_SANITIZE_THREAD=ON
	cmake --build $(BUILD)/thread -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/thread -j $(JOBS) \
	  --output-on-failure -R Golden

# The naming convention of .clang-tidy, over every file the sanitizer build
# compiles (the product, the tests, the fuzz targets).
tidy: build-sanitize
	run-clang-tidy -j $(JOBS) -quiet -p $(BUILD)/sanitize > $(BUILD)/tidy.log 2>&1 || \
	  { sed 's/\x1b\[[0-9;]*m//g' $(BUILD)/tidy.log; exit 1; }

# Every fuzz target, from its committed seed corpus, for FUZZ_SECONDS each.
fuzz-smoke: build-sanitize
	fuzz/run.sh $(BUILD)/sanitize/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD)
