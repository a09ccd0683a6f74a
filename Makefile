# make run   : installs what is missing, builds, and starts VERDAN in the demo data directory
# make test  : installs what is missing, builds, and runs every test
# make tsan  : the threaded tests again under ThreadSanitizer
# make asan  : every test again under AddressSanitizer and UndefinedBehaviorSanitizer
# make bench : the speed and memory comparisons in bench/ (helpers with a dot in the name are skipped)
# make windows      : builds the libraries Windows needs from Debian's sources (scripts/windows-deps),
#                     then cross-builds into build-windows/ with MinGW-w64 (the commands; with
#                     WINQT=<a Qt 6 for MinGW-w64> the windows too, verdan-gui.dll)
# make test-windows : runs the Windows test programs under Wine, in a Wine prefix of their own
# make installer      : the Windows installer (NSIS) build-windows/verdan-setup.exe
# make test-installer : installs it silently under Wine, runs the installed program, removes it
# make soak  : the kill harness's long run (backups and restores killed at many points, changed archives,
#              backups of files that change meanwhile)
BUILD ?= build
DEMO  ?= $(CURDIR)/demo
WINBUILD ?= build-windows
# What the Windows build makes: verdan.exe (the commands) and the test programs of the folders
# whose tests run under Wine so far (the list in tests/CMakeLists.txt, taken afresh by every
# `make windows`, so that a build folder made before a folder joined it builds that one too).
WINTARGETS ?= verdan verdan_tests
# A Qt 6 built for MinGW-w64 (the folder holding lib/cmake/Qt6): set, the Windows build has the
# windows as well. Its moc and rcc come from the system's Qt 6 of the same version.
WINQT ?=

.PHONY: run test tsan asan bench soak clean windows test-windows installer test-installer

run:
	scripts/setup $(BUILD)
	scripts/run-demo $(BUILD)/verdan $(DEMO)

test:
	scripts/setup $(BUILD)
	cd $(BUILD) && ctest --output-on-failure --timeout 300 -j2

tsan:
	scripts/setup $(BUILD)-tsan -DVERDAN_SANITIZE=thread -DVERDAN_BUILD_GUI=OFF
	cd $(BUILD)-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --output-on-failure --timeout 600 -j2 -L 'net|platform|mail|archive|zip'

asan:
	scripts/setup $(BUILD)-asan -DVERDAN_SANITIZE=address -DVERDAN_BUILD_GUI=OFF
	cd $(BUILD)-asan && ctest --output-on-failure --timeout 600 -j2

bench:
	scripts/setup $(BUILD)
	@status=0; for b in bench/*; do case "$$b" in *.*) continue;; esac; r="$$b"; [ -d "$$b" ] && r="$$b/run"; if [ -f "$$r" ] && [ -x "$$r" ]; then echo "== $$b"; "$$r" $(BUILD)/verdan || status=1; fi; done; exit $$status

soak:
	scripts/setup $(BUILD)
	cd $(BUILD) && VERDAN_SOAK=1 ctest --output-on-failure --timeout 3600 -V -R '^KillHarness\.'

windows:
	scripts/windows-deps $(WINBUILD)
	cmake -S . -B $(WINBUILD) -G Ninja -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake \
	  -DCMAKE_PREFIX_PATH="$$(paste -sd';' $(WINBUILD)/deps/prefixes)$(if $(WINQT),;$(abspath $(WINQT)))" \
	  -DVERDAN_BUILD_GUI=$(if $(WINQT),ON,OFF) -UVERDAN_TEST_FOLDERS >/dev/null
	cmake --build $(WINBUILD) -j2 --target $(WINTARGETS)

test-windows: windows
	scripts/wine-tests $(WINBUILD) -L 'platform|net|app|zip|archive|mail|cli'

installer: windows
	makensis -V2 -DVERSION=$$(sed -n 's/^project(verdan VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt) \
	  -DBUILD=$(abspath $(WINBUILD)) -DOUTFILE=$(abspath $(WINBUILD))/verdan-setup.exe installer/verdan.nsi

test-installer: installer
	scripts/wine-tests $(WINBUILD) -L installer


clean:
	rm -rf $(BUILD) $(BUILD)-tsan $(BUILD)-asan
