# The daemon executables, named after the helper's label, and the systemd
# units that stand in for its launchd job (XQ_LABEL: the top-level
# CMakeLists.txt).

# xq_daemon(NAME [SOURCES file...] SEAMS lib...): main.cpp (or the given
# entry) with the service libraries, the embedded property lists and the given
# link-time seams (anchors, paths, capture limits, the interface list).
function(xq_daemon name)
  cmake_parse_arguments(D "" "" "SOURCES;SEAMS" ${ARGN})
  if(NOT D_SOURCES)
    set(D_SOURCES ${PROJECT_SOURCE_DIR}/main.cpp)
  endif()
  add_executable(${name} ${D_SOURCES})
  target_link_libraries(${name} PRIVATE xq_flags xq_main xq_common ${D_SEAMS})
  # The seams are referenced from libraries that come later on the link line,
  # so their objects are linked in directly.
  foreach(seam ${D_SEAMS})
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:${seam}>)
  endforeach()
  xq_embed_sections(${name} SECTION __info_plist FILE ${XQ_INFO_PLIST}
                    SECTION __launchd_plist FILE ${XQ_LAUNCHD_PLIST})
  xq_link_runtime_statically(${name})
endfunction()

# The seams of each build (README, "Seams"): the shipped daemon's and the test
# daemon's. Every executable links exactly one definition of each seam it uses.
set(_xq_shipped_seams xq_anchors_shipped xq_paths_${XQ_PROFILE} xq_lldp_limits_shipped
    xq_netif_list_shipped xq_xpc_kernel_current)
set(_xq_test_seams xq_anchors_test xq_paths_test xq_lldp_limits_test xq_netif_list_test)
set(XQ_TEST_SEAMS ${_xq_test_seams} xq_xpc_kernel_current CACHE INTERNAL
    "link-time seams of the test build")
xq_daemon(${XQ_LABEL} SEAMS ${_xq_shipped_seams})
xq_daemon(${XQ_LABEL}-test SEAMS ${XQ_TEST_SEAMS})
# The test build as it runs on a kernel without pidfd socket options (before
# Linux 6.5, as Debian 12's 6.1), whatever kernel runs it.
xq_daemon(${XQ_LABEL}-test-before-pidfd SEAMS ${_xq_test_seams} xq_xpc_kernel_before_pidfd)

# systemd units of the Linux profile.
set(XQ_SOCKET_PATH "/run/${XQ_LABEL}.sock")
set(XQ_DAEMON_PATH "${XQ_LINUX_HELPER_DIR}/${XQ_LABEL}")
set(XQ_UNITS_DIR ${PROJECT_BINARY_DIR}/units CACHE INTERNAL "generated systemd units")
configure_file(${PROJECT_SOURCE_DIR}/plists/systemd/unit.socket.in
               ${XQ_UNITS_DIR}/${XQ_LABEL}.socket @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/plists/systemd/unit.service.in
               ${XQ_UNITS_DIR}/${XQ_LABEL}.service @ONLY)
# What is installed, and in which variant: XqPackage.cmake.

# What the demo runs.
add_custom_target(demo-programs)
add_dependencies(demo-programs ${XQ_LABEL}-test xqsip-client xqsip-client-unsigned
                 xqsip-client-adhoc xqsip-client-otherteam xqsip-client-othercn
                 xqsip-client-otherid xqsip-client-old xqpkg installer launchctl launchctl-test
                 testsudo pkgutil-test)
