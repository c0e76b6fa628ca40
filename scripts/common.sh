# Shared by the scripts in this folder: installing what is missing.

# apt_update: reads the package lists, three tries a few seconds apart. A
# list that still fails (a mirror in the middle of a sync) is only a
# warning: the lists read before, or the others, may hold what is needed,
# and the install says so if they don't.
apt_update() {
  local try
  for try in 1 2 3; do
    apt-get update -qq && return 0
    [ "$try" -lt 3 ] && sleep $((try * 5))
  done
  echo "warning: apt-get update failed three times; installing from the lists at hand"
  return 0
}

# need_packages PKG...: installs the Debian packages that are not installed
# yet (as root, through apt-get), or says exactly what to install and fails.
need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "Installing: ${missing[*]}"
    if [ -z "${MODFLASH_APT_UPDATED:-}" ]; then
      apt_update
      export MODFLASH_APT_UPDATED=1
    fi
    # A mirror caught mid-sync fails one fetch; the second try reads the
    # lists again first.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
      { apt_update && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; } ||
      return 1
  else
    echo "Missing packages: ${missing[*]}"
    echo "Install them with: sudo apt-get install ${missing[*]}"
    return 1
  fi
}

# runs_32bit_programs: whether this host's kernel starts 32-bit x86 Linux
# programs (some refuse them: "Exec format error"). Wine's 32-bit side is
# one, so without them no 32-bit Windows program runs under Wine. The probe
# is the smallest such program: a static ELF whose one system call is exit(0).
runs_32bit_programs() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/modflash-elf32.XXXXXX")
  local elf='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'
  elf+='\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'
  elf+='\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
  elf+='\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08'
  elf+='\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00'
  elf+='\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80'
  # shellcheck disable=SC2059 # the bytes are the format
  printf "$elf" >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  return "$status"
}

# wine_runs_32bit: whether Wine can start 32-bit Windows programs here: the
# kernel runs 32-bit programs and Wine's 32-bit side (wine32, of the i386
# architecture) is installed, or root installs it now. Where the kernel
# runs them but the package cannot be installed (a mirror whose i386 lists
# are out of step with its others leaves wine32's libraries unresolvable),
# says so loudly and answers no: the 32-bit programs are then built and
# not tested, as on a host that cannot run them, instead of ending the run.
wine_runs_32bit() {
  # scripts/test answers once for all its legs.
  case ${MODFLASH_WINE_32BIT:-} in
    yes) return 0 ;;
    no) return 1 ;;
  esac
  runs_32bit_programs || return 1
  dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" &&
    return 0
  if [ "$(id -u)" -ne 0 ] || ! command -v dpkg >/dev/null 2>&1; then
    echo "Missing: wine32:i386 (Wine's 32-bit side)"
    echo "Install it with: sudo dpkg --add-architecture i386 && sudo apt-get update && sudo apt-get install wine32:i386"
    return 1
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    unset MODFLASH_APT_UPDATED # the package lists must be read again
  fi
  need_packages wine32:i386 && return 0
  echo "== WARNING: this host runs 32-bit programs, but Wine's 32-bit side" \
    "(wine32:i386) could not be installed from the package lists at hand:" \
    "the 32-bit programs are built, their tests do NOT run"
  return 1
}

# The programs of a build, without the tests: what a leg builds when it only
# needs them to run (or, where its tests cannot run, to compile them).
PROGRAM_TARGETS=(modflash modflash-fleet modflash-audit readersim)

# The packages a native build with tests needs.
NATIVE_PACKAGES=(g++ cmake ninja-build libgtest-dev libgmock-dev)
# Header-only libraries of modflash-fleet (the Windows builds use them too).
NATIVE_PACKAGES+=(libcli11-dev nlohmann-json3-dev libboost-context-dev)

# The packages the Windows builds and their tests under Wine need (Wine's
# 32-bit side: see wine_runs_32bit).
WINDOWS_PACKAGES=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64)

# The packages the fuzz build (clang's libFuzzer) needs.
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)

# The packages the chaos soak needs besides a native build.
SOAK_PACKAGES=(python3)

# The Windows installer: wixl builds it, msibuild (msitools) sets its package
# code, faketime holds wixl's clock at SOURCE_DATE_EPOCH.
MSI_PACKAGES=(wixl msitools faketime)

# Signing Windows programs and the installer (scripts/release, when asked).
SIGN_PACKAGES=(osslsigncode openssl)

# What scripts/test-packaging checks the packages with, and builds them with.
PACKAGING_PACKAGES=(icoutils lintian mandoc groff man-db dpkg-dev zip
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 "${MSI_PACKAGES[@]}")
