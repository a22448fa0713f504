# The two commands a new user needs: `make run` and `make test`. Everything else is for CI and
# for developers.
BUILD ?= build
ASAN_BUILD ?= build-asan
FUZZ_SECONDS ?= 60
WERROR ?= $(if $(CI),ON,OFF)
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: run test test-asan fuzz bench build bootstrap deb format clean

bootstrap:
	@scripts/bootstrap

build: bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DQUILLBOX_WERROR=$(WERROR) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The desktop program where there is a display, the daemon in the foreground otherwise. It runs
# in $(BUILD)/run, where it finds a copy of the shipped S25R rules and allow list. An ordinary user may not
# listen on the default port 123, so for one a first run writes an INI file with port 1110.
run: build
	@mkdir -p $(BUILD)/run
	@[ -f $(BUILD)/run/S25R_Rules.txt ] || cp examples/S25R_Rules.txt $(BUILD)/run/
	@[ -f $(BUILD)/run/S25R_Allow.txt ] || cp examples/S25R_Allow.txt $(BUILD)/run/
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] && [ -x $(BUILD)/apps/quillbox/quillbox ]; then \
	  prog=$(CURDIR)/$(BUILD)/apps/quillbox/quillbox; \
	else \
	  prog=$(CURDIR)/$(BUILD)/apps/quillboxd/quillboxd; \
	fi; \
	if [ "$$(id -u)" -ne 0 ] && [ ! -e "$$prog.ini" ]; then \
	  printf '[General]\nListeningPort=1110\n' > "$$prog.ini"; \
	  echo "make run: wrote $$prog.ini with ListeningPort=1110 (port 123 needs root)"; \
	fi; \
	cd $(BUILD)/run && exec "$$prog"

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The Debian package of the build, for `apt install`: $(BUILD)/quillbox_<version>_<arch>.deb.
deb: build
	cd $(BUILD) && cpack -G DEB

# The sanitizer tree is built by clang and also holds the fuzzers: one build serves both, and
# Clang's thread-safety analysis checks the locks of everything in it, tests included.
ASAN_CONFIGURE = CXX=clang++ cmake -S . -B $(ASAN_BUILD) -G Ninja -DQUILLBOX_WERROR=$(WERROR) \
  -DQUILLBOX_SANITIZE=ON -DQUILLBOX_FUZZ=ON -DQUILLBOX_BENCH=OFF $(CMAKE_FLAGS)

test-asan: bootstrap
	$(ASAN_CONFIGURE)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Runs each libFuzzer target of the sanitizer tree for FUZZ_SECONDS.
fuzz: bootstrap
	$(ASAN_CONFIGURE)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	scripts/run-fuzzers $(ASAN_BUILD)/fuzz $(FUZZ_SECONDS)

bench: build
	scripts/run-benchmarks $(BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
