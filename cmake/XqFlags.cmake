# One interface target that every library, executable and test links: the
# language standard, warnings as errors and the sanitizer flags.
add_library(xq_flags INTERFACE)
target_compile_features(xq_flags INTERFACE cxx_std_20)
target_compile_options(xq_flags INTERFACE
  $<$<COMPILE_LANGUAGE:C,CXX>:-Wall -Wextra -Werror -Wformat=2 -Wno-missing-field-initializers>
  $<$<AND:$<COMPILE_LANGUAGE:C,CXX>,$<C_COMPILER_ID:GNU>>:-Wshadow=local>
  $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  target_compile_options(xq_flags INTERFACE -Wno-unused-private-field)
endif()
target_compile_definitions(xq_flags INTERFACE _GNU_SOURCE)
target_include_directories(xq_flags INTERFACE ${PROJECT_SOURCE_DIR})

if(XQ_SANITIZE)
  set(XQ_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined
      -fno-omit-frame-pointer)
  target_compile_options(xq_flags INTERFACE ${XQ_SAN_FLAGS})
  target_link_options(xq_flags INTERFACE ${XQ_SAN_FLAGS})
endif()

# Fuzz targets add this on top of xq_flags.
add_library(xq_fuzz_flags INTERFACE)
if(XQ_FUZZ)
  target_compile_options(xq_fuzz_flags INTERFACE -fsanitize=fuzzer)
  target_link_options(xq_fuzz_flags INTERFACE -fsanitize=fuzzer)
endif()

# Components that the fuzz targets link are built with coverage hooks too.
if(XQ_FUZZ)
  target_compile_options(xq_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()

# How executables are linked. Every request starts the daemon, the client and
# the package tool, so their start is mostly the dynamic loader's work:
# packed relative relocations (DT_RELR, read by glibc 2.36 and later) make the
# relocation tables a few kilobytes instead of a few hundred, so fewer pages
# are read in; the GNU hash table and -O1 make symbol lookups cheaper;
# --as-needed drops libraries that nothing calls. BIND_NOW with a read-only
# GOT stays (hardening): its cost at start is measured in
# tests/bench/service/start-cost.sh and is small next to libcrypto's own
# BIND_NOW relocations.
include(CheckLinkerFlag)
# XQ_LINKER picks the linker (-fuse-ld=): the test build links some sixty
# sanitized executables with their debug information, which lld does several
# times faster than the default linker.
set(XQ_LINKER "" CACHE STRING "Linker for -fuse-ld= (empty: the compiler's default)")
if(XQ_LINKER)
  target_link_options(xq_flags INTERFACE -fuse-ld=${XQ_LINKER})
endif()
# Checked with the chosen linker; lld before 15 only warns of an unknown -z
# value, so a warning fails the check.
set(_xq_pack_check -Wl,--fatal-warnings -Wl,-z,pack-relative-relocs)
if(XQ_LINKER)
  list(PREPEND _xq_pack_check -fuse-ld=${XQ_LINKER})
endif()
check_linker_flag(CXX "${_xq_pack_check}" XQ_HAVE_PACK_RELATIVE_RELOCS)
option(XQ_BIND_NOW "Link executables with -z now (resolve every symbol at start)" ON)
target_link_options(xq_flags INTERFACE
  "LINKER:-O1" "LINKER:--as-needed" "LINKER:--hash-style=gnu" "LINKER:-z,relro"
  $<$<BOOL:${XQ_BIND_NOW}>:LINKER:-z,now>
  $<$<BOOL:${XQ_HAVE_PACK_RELATIVE_RELOCS}>:LINKER:-z,pack-relative-relocs>)
