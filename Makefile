# Thin wrapper over CMake + Ninja.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all configure test run bench deps clean

all: configure
	cmake --build $(BUILD)

configure: $(BUILD)/build.ninja

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

deps:
	scripts/install-deps.sh

test: deps
	$(MAKE) all
	cd $(BUILD) && ctest --output-on-failure

run: all
	./$(BUILD)/burrowlink $(ARGS)

bench:
	scripts/install-deps.sh --bench
	$(MAKE) all
	scripts/bench.sh $(BUILD)/burrowlink

clean:
	rm -rf $(BUILD)
