# Every target does its own set-up on a fresh machine; each step is cached.
.PHONY: test test-freethreaded test-314 test-ros test-ros-kilted test-sanitizers test-aarch64 demo panel bench bench-ros venv wheel clean

# The parts of `make test`, in order: each is the target test-<part>, and each
# gets a line in the closing summary.
TEST_PARTS += freethreaded
TEST_PARTS += 314
TEST_PARTS += ros
TEST_PARTS += ros-kilted
TEST_PARTS += aarch64
TEST_PARTS += sanitizers

test:
	@bash scripts/test-all.sh $(TEST_PARTS)

test-freethreaded:
	@bash scripts/test.sh freethreaded $(PYTEST_ARGS)

test-314:
	@bash scripts/in-root.sh bash scripts/test.sh py314 $(PYTEST_ARGS)

# CPython 3.14 with the real ROS 2 client library (Jazzy, Fast DDS) from PyPI:
# the relay and panel-link tests, the cross-process cases and the examples.
test-ros:
	@bash scripts/in-root.sh bash scripts/test.sh ros $(PYTEST_ARGS)

# The same on Kilted, the newer release.
test-ros-kilted:
	@bash scripts/in-root.sh bash scripts/test.sh ros-kilted $(PYTEST_ARGS)

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

# Every benchmark, then one table of all their comparisons, also in build/bench.md.
bench: venv
	@bash scripts/bench.sh

# The relay benchmark on the real ROS 2 client library, in the CPython 3.14 root.
bench-ros:
	@bash scripts/in-root.sh bash scripts/bench-ros.sh

# The source archive and, built from it, the manylinux wheels of free-threaded
# 3.13 (x86-64) and of 3.14 (x86-64, in the 3.14 root; aarch64, cross-built)
# into dist/, each installed and imported from a fresh environment and checked.
wheel:
	@bash scripts/wheel.sh

clean:
	rm -rf build .venv .venv-asan dist
