# Set-up and everyday commands. Each installs what is missing first.
BUILD ?= build
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: all deps build build-sanitize build-fuzz test demo bench fuzz install clean

all: build

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

build-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)

build-fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVEL_FUZZ=ON -DKORVEL_TESTS=OFF \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD) -j$(JOBS)

# Every test, plain and under AddressSanitizer and UndefinedBehaviorSanitizer, and a short
# run of every fuzz target.
test: build build-sanitize build-fuzz
	scripts/fuzz.sh $(FUZZ_BUILD) 10
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j$(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

demo: build
	scripts/demo.sh $(BUILD)/korvel samples/sample.bin

bench: build
	scripts/bench.sh $(BUILD)

fuzz: build-fuzz
	scripts/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Installs korvel and its manual page under $(PREFIX), staged under $(DESTDIR) when it is set.
install: build
	$(if $(DESTDIR),DESTDIR=$(DESTDIR) )cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
