# Installs the Debian packages named, where missing. Sourced by the scripts.
need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Everything the program, the simulated instrument and the tests build with;
# Liberation Sans stands in for the windows' "MS Sans Serif". fwdl takes
# SHA-256 and ECDSA from nettle (found with pkg-config; hogweed and GMP come
# with nettle-dev) and writes JSON with nlohmann-json; fwdl station serves its
# page with Boost.Beast (header-only); records go to databases through
# unixODBC (the Windows build takes MinGW's odbc32). The tests of signed
# releases make their keys and signatures with the openssl command.
BUILD_PACKAGES=(build-essential cmake qt6-base-dev libgl-dev libgtest-dev libgmock-dev
                fonts-liberation2 pkg-config nettle-dev nlohmann-json3-dev libboost-dev
                unixodbc-dev openssl libssl-dev)
# What scripts/package needs besides: the package's dependencies are read
# by dpkg-shlibdeps, and lintian checks the result.
PACKAGING_PACKAGES=(dpkg-dev lintian)
# The Windows program, cross-built with MinGW-w64; nlohmann-json is header-only
# and serves the cross build as it is; the installer is made with NSIS, the
# README turned into a web page by cmark-gfm, the icon packed and read back
# by icoutils.
WINDOWS_BUILD_PACKAGES=(cmake g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
                        nlohmann-json3-dev libboost-dev nsis cmark-gfm icoutils)
# Its tests under Wine, the .exe driven on a virtual display; xprop reads
# the icon that the window shows.
WINE_TEST_PACKAGES=(wine64 xvfb xdotool openbox imagemagick x11-utils)
# The station's tests: its HTTP interface from Python's own client, its page
# in headless Chromium driven by Selenium, and in headless Firefox over the
# WebDriver BiDi that Firefox serves itself (a WebSocket client drives it).
STATION_TEST_PACKAGES=(python3 chromium chromium-driver python3-selenium firefox-esr
                       python3-websocket)
# The driver rig (tests/drivers): a QEMU guest under TCG with Debian's kernel
# (fetched with apt-get download, unpacked with dpkg-deb, never installed),
# busybox as its userland, cpio for its initramfs, xz-utils and zstd for
# compressed modules, strace to watch fwdl's TIOCOUTQ.
DRIVER_RIG_PACKAGES=(python3 qemu-system-x86 busybox-static cpio xz-utils zstd strace)

# The records' tests: a PostgreSQL cluster of their own and an SQLite file,
# through Debian's ODBC drivers for both.
ODBC_TEST_PACKAGES=(postgresql odbc-postgresql libsqliteodbc)

# The fuzz targets: clang with libFuzzer and its sanitizer runtimes, and what
# the libraries below the window build with.
FUZZ_PACKAGES=(build-essential cmake clang libfuzzer-14-dev libclang-rt-14-dev pkg-config
               nettle-dev nlohmann-json3-dev unixodbc-dev)

build_all() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" "$@"
}

# The fuzz targets and the seed writer, in build-fuzz/ (clang, libFuzzer,
# AddressSanitizer, UndefinedBehaviorSanitizer); the window is left out.
build_fuzz() {
  cmake -S . -B build-fuzz -DFWDL_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFWDL_BUILD_APP=OFF -DFWDL_BUILD_TESTS=OFF >/dev/null
  cmake --build build-fuzz -j"$(nproc)" --target fuzz_all
}
