# Set-up and everyday commands. Every target installs what is missing first.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# Warnings are errors in CI.
WERROR ?= $(if $(CI),ON,OFF)
FUZZ_SECONDS ?= 60
SOURCES = $(shell git ls-files --cached --others --exclude-standard '*.cpp' '*.h' 2>/dev/null)

.PHONY: all deps configure build run install package test test-sanitize soak bench fuzz format format-check screenshots clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DLARK_WERROR=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# Installs what is missing, builds the application and the tool only, and starts it.
run: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target LarkDownloader lark-mega
	@$(BUILD_DIR)/bin/LarkDownloader

PREFIX ?= $(HOME)/.local
install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# A Debian package of both programs: $(BUILD_DIR)/package/lark-downloader_*.deb
package: build
	@cd $(BUILD_DIR) && cpack -G DEB -B package >/dev/null && ls $(abspath $(BUILD_DIR))/package/*.deb

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B build-sanitize -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLARK_SANITIZE=ON -DLARK_BENCH=OFF \
		-DLARK_WERROR=$(WERROR) >/dev/null
	@cmake --build build-sanitize -j $(JOBS)
	@cd build-sanitize && UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp) ctest --output-on-failure -j $(JOBS)

# The long forms of the fault tests, with a fresh random seed each run.
soak: export LARK_SEED ?= $(shell od -An -N4 -tu4 /dev/urandom | tr -d ' ')
soak: build
	@cd $(BUILD_DIR) && LARK_CRASH_ROUNDS=100 QTEST_FUNCTION_TIMEOUT=900000 LANG=en_US.UTF-8 QT_QPA_PLATFORM=xcb \
		xvfb-run -a -s "-screen 0 1440x900x24" ./tests/tst_crashsafety
	@cd $(BUILD_DIR) && LARK_CHAOS_FILES=50 LANG=en_US.UTF-8 ./tests/tst_chaos
	@cd $(BUILD_DIR) && LARK_SOAK_SECONDS=300 QTEST_FUNCTION_TIMEOUT=900000 LANG=en_US.UTF-8 ./tests/tst_soak

bench: deps
	@cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DLARK_TESTS=OFF >/dev/null
	@cmake --build build-bench -j $(JOBS) --target lark_bench lark_bench_tool lark_bench_manager lark_bench_browser lark_bench_window
	@LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 build-bench/bin/lark_bench
	@LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 build-bench/bin/lark_bench_tool
	@LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 build-bench/bin/lark_bench_manager
	@LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 build-bench/bin/lark_bench_browser
	@LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8 QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1440x900x24" \
		build-bench/bin/lark_bench_window

fuzz: deps
	@bash scripts/fuzz.sh $(FUZZ_SECONDS)

# Pictures of the panels as a user sees them, from the GUI tests under Xvfb.
screenshots: build
	@mkdir -p $(BUILD_DIR)/screenshots
	@LARK_SCREENSHOT_DIR=$(abspath $(BUILD_DIR))/screenshots LANG=en_US.UTF-8 QT_QPA_PLATFORM=xcb \
		xvfb-run -a -s "-screen 0 1440x900x24" $(BUILD_DIR)/tests/tst_megafolderbrowser >/dev/null
	@LARK_SCREENSHOT_DIR=$(abspath $(BUILD_DIR))/screenshots LANG=en_US.UTF-8 QT_QPA_PLATFORM=xcb \
		xvfb-run -a -s "-screen 0 1440x900x24" $(BUILD_DIR)/tests/tst_mainwindow >/dev/null
	@LARK_SCREENSHOT_DIR=$(abspath $(BUILD_DIR))/screenshots LANG=en_US.UTF-8 QT_QPA_PLATFORM=xcb \
		xvfb-run -a -s "-screen 0 1440x900x24" $(BUILD_DIR)/tests/tst_notifications >/dev/null
	@LARK_SCREENSHOT_DIR=$(abspath $(BUILD_DIR))/screenshots LANG=en_US.UTF-8 QT_QPA_PLATFORM=xcb \
		xvfb-run -a -s "-screen 0 1440x900x24" $(BUILD_DIR)/tests/tst_desktoplaunch firstLaunchFitsALaptopScreen >/dev/null
	@ls $(BUILD_DIR)/screenshots

format:
	@clang-format -i $(SOURCES)

format-check: deps
	@clang-format --dry-run --Werror $(SOURCES) && echo "Formatting is clean."

clean:
	@rm -rf $(BUILD_DIR) build-bench build-fuzz build-sanitize
