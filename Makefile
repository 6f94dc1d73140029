# Two entry points for a fresh machine, each first installing what it needs
# (scripts/install-deps.sh):
#   make run   builds polc and its tools, puts them in build/bin, and compiles
#              the example policy in examples/
#   make test  builds and runs the whole test suite (normal, then sanitizers),
#              printing one summary per stage; each stage's output is in
#              build/<stage>.log
# one to install polc, polcdump, polcq, polclint, polclsp, their man pages, the schemas and the
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
	mkdir -p $(BUILD)/bin
	ln -sf ../release/driver/polc ../release/tools/polcdump ../release/tools/polcq \
	  ../release/tools/polclint ../release/tools/polclsp $(BUILD)/bin/

run: build
	mkdir -p $(BUILD)/example
	rm -f $(BUILD)/example/policy.bin $(BUILD)/example/policy.map
	$(BUILD)/release/driver/polc -c -m -o $(BUILD)/example/policy.bin examples/*.json
	@for file in $(BUILD)/example/policy.bin $(BUILD)/example/policy.map; do \
	  if [ -f "$$file" ]; then echo "written: $$file"; fi; \
	done
	@echo "programs: $(BUILD)/bin (polc, polcdump, polcq, polclint, polclsp)"

install: build
	cmake --install $(BUILD)/release --prefix $(PREFIX)

package: build
	cd $(BUILD)/release && cpack -G DEB

# Each stage runs through scripts/stage.sh: its whole output goes to
# $(BUILD)/<stage>.log, and the terminal gets the stage's title and summary
# (ctest's totals, the fuzzing's inputs), or on a failure what failed and
# the log's last lines.
STAGE = @scripts/stage.sh

test: deps-test
	@$(MAKE) --no-print-directory test-debug test-thread fuzz-smoke tidy test-sanitize

# g++, warnings as errors, the whole suite.
test-debug:
	$(STAGE) "g++ debug build, the whole suite" $(BUILD)/$@.log \
	  "cmake -S . -B $(BUILD)/debug $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	     -DCMAKE_CXX_COMPILER=g++ -DPOLC_WERROR=ON" \
	  "cmake --build $(BUILD)/debug -j $(JOBS)" \
	  "ctest --test-dir $(BUILD)/debug -j $(JOBS) --output-on-failure --no-tests=error"

# clang++ with AddressSanitizer and UndefinedBehaviorSanitizer: the same
# suite, and the fuzz targets built alongside.
build-sanitize:
	$(STAGE) "clang++ build with AddressSanitizer, UBSan and the fuzz targets" $(BUILD)/$@.log \
	  "cmake -S . -B $(BUILD)/sanitize $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	     -DCMAKE_CXX_COMPILER=clang++ -DPOLC_WERROR=ON -DPOLC_SANITIZE=ON -DPOLC_FUZZ=ON" \
	  "cmake --build $(BUILD)/sanitize -j $(JOBS)" \
	  "echo built in $(BUILD)/sanitize"

test-sanitize: build-sanitize
	$(STAGE) "AddressSanitizer and UBSan, the whole suite" $(BUILD)/$@.log \
	  "ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	     ctest --test-dir $(BUILD)/sanitize -j $(JOBS) --output-on-failure --no-tests=error"

# clang++ with ThreadSanitizer: the golden cases, whose polc runs load their
# files on a second thread; a race report fails the case that shows it.
test-thread:
	$(STAGE) "ThreadSanitizer build, the golden cases" $(BUILD)/$@.log \
	  "cmake -S . -B $(BUILD)/thread $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	     -DCMAKE_CXX_COMPILER=clang++ -DPOLC_WERROR=ON -DPOLC_SANITIZE_THREAD=ON" \
	  "cmake --build $(BUILD)/thread -j $(JOBS)" \
	  "TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD)/thread -j $(JOBS) \
	     --output-on-failure --no-tests=error -R Golden"

# The naming convention of .clang-tidy, over every file the sanitizer build
# compiles (the product, the tests, the fuzz targets).
tidy: build-sanitize
	$(STAGE) "naming check of .clang-tidy" $(BUILD)/$@.log \
	  "run-clang-tidy -j $(JOBS) -quiet -p $(BUILD)/sanitize" \
	  "echo no warnings"

# Every fuzz target, from its committed seed corpus, for FUZZ_SECONDS each;
# a crashing input is kept in $(BUILD)/sanitize/fuzz.
fuzz-smoke: build-sanitize
	$(STAGE) "fuzzing, $(FUZZ_SECONDS)s per target" $(BUILD)/$@.log \
	  "fuzz/run.sh $(BUILD)/sanitize/fuzz $(FUZZ_SECONDS)"

clean:
	rm -rf $(BUILD)
