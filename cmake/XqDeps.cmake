# Third-party libraries, all from Debian packages (scripts/install-deps.sh).
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_package(EXPAT REQUIRED)
find_package(ICU REQUIRED COMPONENTS uc i18n data)

# ICU for the regular expressions of the package check. The daemon links it
# statically (target property XQ_STATIC_ICU): it is started for every client
# request, and resolving ICU's shared libraries at each start costs about as
# much as the rest of its start together (tests/bench/service). Everything
# else links the shared libraries.
find_library(XQ_ICU_I18N_STATIC libicui18n.a)
find_library(XQ_ICU_UC_STATIC libicuuc.a)
find_library(XQ_ICU_DATA_STATIC libicudata.a)
add_library(xq_icu INTERFACE)
if(XQ_ICU_I18N_STATIC AND XQ_ICU_UC_STATIC AND XQ_ICU_DATA_STATIC)
  set(_xq_icu_static "${XQ_ICU_I18N_STATIC}$<SEMICOLON>${XQ_ICU_UC_STATIC}$<SEMICOLON>${XQ_ICU_DATA_STATIC}$<SEMICOLON>${CMAKE_DL_LIBS}")
  target_link_libraries(xq_icu INTERFACE
    "$<IF:$<BOOL:$<TARGET_PROPERTY:XQ_STATIC_ICU>>,${_xq_icu_static},ICU::i18n$<SEMICOLON>ICU::uc>")
  target_include_directories(xq_icu INTERFACE ${ICU_INCLUDE_DIRS})
else()
  message(FATAL_ERROR "the static ICU libraries (libicu-dev) are missing")
endif()
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(LIBARCHIVE REQUIRED IMPORTED_TARGET libarchive)
if(XQ_TESTS)
  find_package(GTest REQUIRED)
endif()
if(XQ_BENCH)
  find_package(benchmark REQUIRED)
endif()

# The daemon and the client tool are started for every request; the C++
# runtime linked into them spares each start the resolution of libstdc++'s
# symbols (about 0.9 ms a process here).
function(xq_link_runtime_statically target)
  if(NOT XQ_SANITIZE)
    target_link_options(${target} PRIVATE -static-libstdc++ -static-libgcc)
  endif()
endfunction()
