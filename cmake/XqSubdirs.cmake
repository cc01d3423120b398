# Adds every immediate subdirectory of DIR that has a CMakeLists.txt, in name
# order, so that a new component only has to bring its own CMakeLists.txt.
function(xq_add_subdirs dir)
  file(GLOB children RELATIVE ${CMAKE_CURRENT_SOURCE_DIR}/${dir}
       ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${child}/CMakeLists.txt
       AND NOT "${dir}/${child}" STREQUAL "tools/testpki")
      add_subdirectory(${dir}/${child})
    endif()
  endforeach()
endfunction()

# Adds each named directory that has a CMakeLists.txt.
function(xq_add_existing)
  foreach(dir IN LISTS ARGN)
    if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt)
      add_subdirectory(${dir})
    endif()
  endforeach()
endfunction()
