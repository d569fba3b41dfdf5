# Every target does its own set-up on a fresh machine; each step is cached.
.PHONY: test test-freethreaded test-314 test-aarch64 wheel wheel-aarch64 demo bench venv clean

test:
	@status=0; \
	$(MAKE) --no-print-directory test-freethreaded || status=1; \
	$(MAKE) --no-print-directory test-314 || status=1; \
	$(MAKE) --no-print-directory test-aarch64 || status=1; \
	if [ $$status -ne 0 ]; then echo "*** make test: at least one interpreter failed" >&2; fi; \
	exit $$status

test-freethreaded:
	@bash scripts/test.sh freethreaded $(PYTEST_ARGS)

test-314:
	@bash scripts/in-root.sh bash scripts/test.sh py314 $(PYTEST_ARGS)

# aarch64 CPython 3.14 under the user-mode emulator, modules cross-compiled.
test-aarch64:
	@bash scripts/test-aarch64.sh $(PYTEST_ARGS)

wheel: wheel-aarch64

# The linux_aarch64 wheel for CPython 3.14 into dist/, checked.
wheel-aarch64:
	@bash scripts/aarch64-wheel.sh dist

venv:
	@bash scripts/venv.sh "$$(bash scripts/freethreaded-python.sh | tail -n 1)" .venv

demo: venv
	@.venv/bin/python examples/demo.py

bench: venv
	@.venv/bin/python -m pip install -q --only-binary jiter,pydantic-core openai >/dev/null 2>&1 \
		|| echo "(the openai package could not be installed: the chat benchmark skips its column)"
	@for b in bench/bench_*.py; do echo "== $$b"; .venv/bin/python $$b || exit 1; done

clean:
	rm -rf build .venv
