# Every target does its own set-up on a fresh machine; each step is cached.
.PHONY: test test-freethreaded test-314 test-sanitizers test-aarch64 demo panel bench venv wheel clean

# The parts of `make test`, in order: each is the target test-<part>, and each
# gets a line in the closing summary.
TEST_PARTS += freethreaded
TEST_PARTS += 314
TEST_PARTS += aarch64
TEST_PARTS += sanitizers

test:
	@bash scripts/test-all.sh $(TEST_PARTS)

test-freethreaded:
	@bash scripts/test.sh freethreaded $(PYTEST_ARGS)

test-314:
	@bash scripts/in-root.sh bash scripts/test.sh py314 $(PYTEST_ARGS)

# The free-threaded interpreter with the modules built for AddressSanitizer and
# UndefinedBehaviorSanitizer; any report fails it.
test-sanitizers:
	@bash scripts/test-sanitizers.sh $(PYTEST_ARGS)

# aarch64 CPython 3.14 under the user-mode emulator, modules cross-compiled.
test-aarch64:
	@bash scripts/test-aarch64.sh $(PYTEST_ARGS)

venv:
	@py=$$(bash scripts/freethreaded-python.sh) && bash scripts/venv.sh "$$py" .venv

demo: venv
	@.venv/bin/python examples/demo.py

# The development panel with the example robot; PANEL_ARGS="--port 9000" etc.
panel: venv
	@.venv/bin/python examples/devpanel_robot.py $(PANEL_ARGS)

bench: venv
	@.venv/bin/python -m pip install -q --only-binary jiter,pydantic-core openai >/dev/null 2>&1 \
		|| echo "(the openai package could not be installed: the chat benchmark skips its column)"
	@for b in bench/bench_*.py; do echo "== $$b"; .venv/bin/python $$b || exit 1; done

# The source archive and, built from it, the manylinux wheels of free-threaded
# 3.13 (x86-64) and of 3.14 (x86-64, in the 3.14 root; aarch64, cross-built)
# into dist/, each installed and imported from a fresh environment and checked.
wheel:
	@bash scripts/wheel.sh

clean:
	rm -rf build .venv .venv-asan dist
