# vellum developer targets. `make test` works on a fresh machine: it creates .venv,
# builds a real wheel, installs it with its test extras, installs GoogleTest through apt
# when missing, runs the C++ tests with ctest and then pytest.

PYTHON ?= python3.11
VENV   := .venv
VPY    := $(VENV)/bin/python
CPP_BUILD := build/cpp
JOBS   ?= 2
# Other CPython versions to import the abi3 wheel under: on PATH, or installed by pyenv
# without being activated.
SECOND_PYTHONS ?= $(shell for v in 3.12 3.13; do p=$$(command -v python$$v 2>/dev/null); \
  if [ -n "$$p" ] && "$$p" -c '' 2>/dev/null; then echo "$$p"; \
  else ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/$$v*/bin/python$$v 2>/dev/null | head -n 1; fi; done)

.PHONY: all test run bench sanitize fuzz venv wheel gtest lua cpp-build cpp-test py-test abi3 stubtest \
        second-python clean fuzz-deps soak sanitize-python typecheck compat

all: test

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	touch $@

venv: $(VENV)/.ready

# The wheel is built exactly as users get it (`pip wheel .`), and again only when one of
# its inputs changed, so `make run` on an unchanged tree starts at once. pip -v shows the
# configure and compile steps as they happen instead of a silent first build. README.md,
# which the wheel carries only as its description, is left out: editing it rebuilds nothing.
WHEEL_INPUTS := CMakeLists.txt pyproject.toml \
  $(shell find src python -type f ! -name '*.pyc' ! -path '*/__pycache__/*' ! -path '*/.mypy_cache/*' 2>/dev/null)
WHEEL_BUILT := dist/.built
# The lines of pip's verbose output shown while the wheel builds (all of it goes to
# build/wheel.log): the build steps, their progress, and the result.
WHEEL_PROGRESS := ^ *(\*\*\*|\[[0-9]+/[0-9]+\]|Created wheel|.*(error|warning):)
# The built wheel installed into the venv, without extras: all that serving needs.
INSTALLED := $(VENV)/.installed
# The test and benchmark extras, installed once per pyproject.toml.
TEST_EXTRAS := $(VENV)/.test-extras

# The stamp carries the time the build started, so a source saved during the build is
# newer than it and rebuilds next time.
$(WHEEL_BUILT): $(WHEEL_INPUTS) | $(VENV)/.ready lua
	@mkdir -p build && touch build/wheel.started
	rm -rf dist
	@echo "== building the wheel; a first build compiles the C++ core (about a minute on 2 cores)"
	@( $(VPY) -m pip wheel . --no-deps -w dist -v; echo $$? >build/wheel.rc ) 2>&1 | tee build/wheel.log | \
	  grep --line-buffered -E '$(WHEEL_PROGRESS)' || true
	@if [ "$$(cat build/wheel.rc)" != 0 ]; then tail -n 40 build/wheel.log; \
	  echo "== the wheel build failed; its whole output is in build/wheel.log"; exit 1; fi
	@# The shared Lua library goes into the wheel (vellum.libs/), so the extension does not
	@# depend on a system package where the wheel is installed.
	$(VPY) -m pip install -q --group wheel-repair
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair -w dist/repaired dist/vellum-*.whl 2>&1 | tail -n 1
	rm dist/vellum-*.whl && mv dist/repaired/vellum-*.whl dist/ && rmdir dist/repaired
	@mv build/wheel.started $@

$(TEST_EXTRAS): pyproject.toml | $(WHEEL_BUILT)
	$(VPY) -m pip install -q "$$(ls dist/vellum-*.whl)[test,bench]"
	touch $@

$(INSTALLED): $(WHEEL_BUILT)
	$(VPY) -m pip install -q --force-reinstall --no-deps dist/vellum-*.whl
	touch $@

# The wheel with the test and benchmark extras, for every target that tests or measures.
wheel: $(TEST_EXTRAS) $(INSTALLED)

gtest:
	@dpkg -s libgtest-dev >/dev/null 2>&1 || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev)

# Lua 5.1 for server-side scripting (and its bit library), through apt when missing.
lua:
	@(dpkg -s liblua5.1-0-dev && dpkg -s lua-bitop-dev) >/dev/null 2>&1 || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq liblua5.1-0-dev lua-bitop-dev)

cpp-build: gtest lua
	cmake -S . -B $(CPP_BUILD) -G Ninja -DVELLUM_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(CPP_BUILD) -j $(JOBS)

cpp-test: cpp-build
	ctest --test-dir $(CPP_BUILD) --output-on-failure -j $(JOBS)

abi3: wheel
	$(VENV)/bin/abi3audit --strict --report dist/vellum-*.whl

stubtest: wheel
	cd tests && ../$(VPY) -m mypy.stubtest vellum._vellum --ignore-missing-stub --allowlist ../tests/stubtest-allowlist.txt

py-test: wheel
	cd tests && ../$(VPY) -m pytest -p no:cacheprovider python

# The abi3 wheel must import and work under every other CPython on the machine.
second-python: wheel
	@for py in $(SECOND_PYTHONS); do \
	  if command -v $$py >/dev/null 2>&1 && $$py -c 'import sys' >/dev/null 2>&1; then \
	    v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	    echo "== abi3 wheel under Python $$v ($$py)"; \
	    rm -rf build/venv-$$v && $$py -m venv build/venv-$$v && \
	    build/venv-$$v/bin/python -m pip install -q dist/vellum-*.whl && \
	    (cd tests && ../build/venv-$$v/bin/python python/abi3_smoke.py) || exit 1; \
	  fi; \
	done

# The package's own type checking, strict.
typecheck: wheel
	cd python && ../$(VPY) -m mypy --strict vellum

test: cpp-test abi3 stubtest typecheck py-test second-python

# The clients' and frameworks' own test suites against vellum, from their sdists at these
# versions: Django's cache tests (BaseCacheTests against vellum.contrib, RedisCacheTests
# and the cache session tests against a served vellum), cachelib's and Flask-Caching's
# generic and RedisCache suites, redis-py's command and pipeline tests under both
# protocols, and a probe of the redis client's defaults with and without hiredis.
# tests/compat/client_suites.py starts the servers on free loopback ports and stops them.
# The compat extra in pyproject.toml installs the same versions, and each runner refuses
# a suite whose version differs from the installed package.
DJANGO_VERSION        := 5.2.20
CACHELIB_VERSION      := 0.17.0
FLASK_CACHING_VERSION := 2.5.1
REDIS_PY_VERSION      := 8.2.0
COMPAT := build/compat
COMPAT_SDISTS := $(COMPAT)/.unpacked-$(DJANGO_VERSION)-$(CACHELIB_VERSION)-$(FLASK_CACHING_VERSION)-$(REDIS_PY_VERSION)

$(COMPAT_SDISTS): | venv
	mkdir -p $(COMPAT)
	$(VPY) -m pip download -q --no-binary :all: --no-deps -d $(COMPAT) \
	  django==$(DJANGO_VERSION) cachelib==$(CACHELIB_VERSION) flask-caching==$(FLASK_CACHING_VERSION) \
	  redis==$(REDIS_PY_VERSION)
	cd $(COMPAT) && for f in django-$(DJANGO_VERSION) cachelib-$(CACHELIB_VERSION) \
	  flask_caching-$(FLASK_CACHING_VERSION) redis-$(REDIS_PY_VERSION); do \
	  rm -rf "$$f" && tar xzf "$$f.tar.gz" || exit 1; done
	touch $@

compat: wheel $(COMPAT_SDISTS)
	$(VPY) -m pip install -q "$$(ls dist/vellum-*.whl)[compat]"
	$(VPY) tests/compat/client_suites.py --sdists $(COMPAT) --redis-py redis-$(REDIS_PY_VERSION) \
	  --django django-$(DJANGO_VERSION) --cachelib cachelib-$(CACHELIB_VERSION) \
	  --flask-caching flask_caching-$(FLASK_CACHING_VERSION) --json $(COMPAT)/report.json

# The main job: serve a persistent cache on 127.0.0.1:6380 with its data in ./vellum-data.
# ARGS reach `vellum serve`: make run ARGS="--fsync always --port 6390".
run: $(INSTALLED)
	$(VPY) -m vellum serve $(ARGS)

bench: wheel
	cmake -S . -B build/bench -G Ninja -DVELLUM_BENCH=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/bench -j $(JOBS)
	@for b in build/bench/*_bench; do echo "# $$b"; $$b || exit 1; done
	$(VPY) bench/run_all.py

# C++ tests under ThreadSanitizer, then under AddressSanitizer with UBSan.
sanitize: gtest lua
	cmake -S . -B build/tsan -G Ninja -DVELLUM_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUM_SANITIZE=thread >/dev/null
	cmake --build build/tsan -j $(JOBS)
	@# save and flush hold every shard lock at once (64 by default), more than the
	@# deadlock detector's per-thread table holds; races are still detected.
	TSAN_OPTIONS="halt_on_error=1 detect_deadlocks=0" ctest --test-dir build/tsan --output-on-failure -j $(JOBS)
	cmake -S . -B build/asan -G Ninja -DVELLUM_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLUM_SANITIZE=address,undefined >/dev/null
	cmake --build build/asan -j $(JOBS)
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --test-dir build/asan --output-on-failure -j $(JOBS)

# Every libFuzzer harness in tests/fuzz, built with clang under ASan and UBSan, for a
# bounded time each. No single allocation may exceed 16 MiB: inputs are a few KiB, so a
# decoder that asks for more sized an allocation from a header alone.
FUZZ_BUILD := build/fuzz
FUZZ_TIME  ?= 20

# clang with its libFuzzer and sanitizer runtimes, from Debian, when missing.
fuzz-deps:
	@(command -v clang++ >/dev/null 2>&1 && dpkg -s libclang-rt-14-dev >/dev/null 2>&1) || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev)

fuzz: fuzz-deps lua
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DVELLUM_FUZZ=ON \
	  -DVELLUM_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@set -e; for f in $(FUZZ_BUILD)/*_fuzz; do \
	  [ -x "$$f" ] || continue; \
	  name=$$(basename "$$f"); corpus=$(FUZZ_BUILD)/corpus/$$name; mkdir -p "$$corpus"; \
	  echo "== $$name"; \
	  UBSAN_OPTIONS=halt_on_error=1 "$$f" -max_total_time=$(FUZZ_TIME) -malloc_limit_mb=16 \
	    -rss_limit_mb=1024 -print_final_stats=1 "$$corpus"; \
	done

# One persistent cache under a mixed load from Python threads and server clients, then
# checks of its accounting, its directory and the process's threads, descriptors and RSS.
SOAK_SECONDS ?= 300

soak: wheel
	$(VPY) tests/soak/soak.py --seconds $(SOAK_SECONDS)

# The Python suite against an extension built with AddressSanitizer, in a venv of its own
# (the build directory is separate too, so the normal wheel never picks up the option).
# libasan is preloaded because the interpreter itself is not instrumented; leak checking
# is off because CPython does not free everything at exit. The soak and the model tests
# are left out for their run time.
ASAN_VENV := build/asan-venv
ASAN_SETTINGS := -C cmake.define.VELLUM_SANITIZE=address -C cmake.build-type=RelWithDebInfo \
  -C build-dir=build/asan-wheel

sanitize-python: lua
	test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	rm -rf build/asan-dist
	$(ASAN_VENV)/bin/python -m pip wheel . --no-deps -w build/asan-dist -q $(ASAN_SETTINGS)
	$(ASAN_VENV)/bin/python -m pip install -q "$$(ls build/asan-dist/vellum-*.whl)[test]"
	$(ASAN_VENV)/bin/python -m pip install -q --force-reinstall --no-deps build/asan-dist/vellum-*.whl
	cd tests && LD_PRELOAD=$$(gcc -print-file-name=libasan.so) ASAN_OPTIONS=detect_leaks=0 \
	  VELLUM_SKIP_SOAK=1 ../$(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider python \
	  --ignore=python/test_model.py --ignore=python/test_soak_short.py

clean:
	rm -rf build dist $(VENV)
