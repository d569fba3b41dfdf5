# Every target does its own set-up on a fresh machine; each step is cached.
.PHONY: test test-freethreaded test-314 demo panel bench venv wheel clean

test:
	@status=0; \
	$(MAKE) --no-print-directory test-freethreaded || status=1; \
	$(MAKE) --no-print-directory test-314 || status=1; \
	if [ $$status -ne 0 ]; then echo "*** make test: at least one interpreter failed" >&2; fi; \
	exit $$status

test-freethreaded:
	@bash scripts/test.sh freethreaded $(PYTEST_ARGS)

test-314:
	@bash scripts/in-root.sh bash scripts/test.sh py314 $(PYTEST_ARGS)

venv:
	@bash scripts/venv.sh "$$(bash scripts/freethreaded-python.sh | tail -n 1)" .venv

demo: venv
	@.venv/bin/python examples/demo.py

# The development panel with the example robot; PANEL_ARGS="--port 9000" etc.
panel: venv
	@.venv/bin/python examples/devpanel_robot.py $(PANEL_ARGS)

bench: venv
	@.venv/bin/python -m pip install -q --only-binary jiter,pydantic-core openai >/dev/null 2>&1 \
		|| echo "(the openai package could not be installed: the chat benchmark skips its column)"
	@for b in bench/bench_*.py; do echo "== $$b"; .venv/bin/python $$b || exit 1; done

# A source archive and a wheel for the free-threaded interpreter in dist/, both checked.
wheel:
	@bash scripts/wheel.sh

clean:
	rm -rf build .venv dist
