# The shipped programs: what a build leaves under bin/ is what a vendor ships.
#
# corvid_ship(TARGET [RESOURCES_LAST]) makes the Windows program TARGET stripped,
# with its debug information in TARGET.debug beside it, named by the
# program's .gnu_debuglink section (file name and CRC only, no folder), so
# that debuggers and dump readers find the symbols of a shipped program when
# the two files lie side by side. It also installs the program (and its
# symbol file) into bin/ of the install prefix. RESOURCES_LAST moves the
# resource section behind every other section (cmake/resources-last.py), so
# that chunkpack can rewrite the stub's resources at pack time.
function(corvid_ship target)
  cmake_parse_arguments(S "RESOURCES_LAST" "" "" ${ARGN})
  if(WIN32)
    set(reorder)
    if(S_RESOURCES_LAST)
      find_program(CORVID_PYTHON3 python3 NO_CMAKE_FIND_ROOT_PATH REQUIRED)
      set(reorder COMMAND ${CORVID_PYTHON3} ${CMAKE_SOURCE_DIR}/cmake/resources-last.py $<TARGET_FILE_NAME:${target}>)
    endif()
    # objcopy and strip write the current time into the PE header unless
    # SOURCE_DATE_EPOCH names one; 0 is what the linker writes.
    set(tool ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=0)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${tool} ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> ${target}.debug
      COMMAND ${tool} ${CMAKE_STRIP} --strip-all $<TARGET_FILE_NAME:${target}>
      COMMAND ${tool} ${CMAKE_OBJCOPY} --add-gnu-debuglink=${target}.debug $<TARGET_FILE_NAME:${target}>
      ${reorder}
      WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
      BYPRODUCTS ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}.debug
      VERBATIM)
    install(FILES ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${target}.debug DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()
