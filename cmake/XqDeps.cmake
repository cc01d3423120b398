# Third-party libraries, all from Debian packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(EXPAT REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n data)

# ICU, from the system's shared libraries. The package check's regular
# expressions load it when a check first needs it (xq_icu_loaded: the headers
# and dlopen only), so that the daemon, started for every request, links no
# ICU: it pays none of ICU's relocations at start, and ICU's security updates
# reach it (tests/bench/service/start-cost.sh; README, "Benchmarks"). Tests
# and tools that call ICU directly link xq_icu.
add_library(xq_icu INTERFACE)
target_link_libraries(xq_icu INTERFACE ICU::i18n ICU::uc)
add_library(xq_icu_loaded INTERFACE)
target_include_directories(xq_icu_loaded INTERFACE ${ICU_INCLUDE_DIRS})
target_link_libraries(xq_icu_loaded INTERFACE ${CMAKE_DL_LIBS})
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
if(XQ_TESTS)
  find_package(GTest REQUIRED)
endif()
if(XQ_BENCH)
  find_package(benchmark REQUIRED)
endif()

# The daemon, the client tool and the package tool are started for every
# request; the C++ runtime linked into them spares each start the loading and
# binding of libstdc++ (its 4,000 symbol relocations, resolved at load as it
# is linked with BIND_NOW, are about as many as libcrypto's: measured with
# tests/bench/service/start-cost.sh). Declared by the Debian package
# (Static-Built-Using, from the -static-libstdc++ on the link line).
option(XQ_STATIC_RUNTIME "Link the C++ runtime statically into the per-request executables" ON)
function(xq_link_runtime_statically target)
  if(NOT XQ_SANITIZE AND XQ_STATIC_RUNTIME)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
