# find_package(Chunkpack CONFIG): the installer packer of the release package
# and the function that packs an installer as part of a build.
#
#   Chunkpack::chunkpack    imported executable: the packer for the system
#                           that runs CMake (bin/chunkpack, bin/chunkpack.exe)
#   Chunkpack_STUB_X86      the shipped i686 stub (the default)
#   Chunkpack_STUB_X64      the x86_64 stub
#   chunkpack_add_installer(<target> OUTPUT <file> SETUP <path>
#       [FILES <key>=<path>...] [VALUES <key>=<value>...]
#       [PRODUCT_NAME <name>] [VENDOR_NAME <name>] [VERSION <a.b.c.d>]
#       [ICON <file.ico>] [STUB x86|x64|<path>] [OPTIONS <chunkpack option>...]
#       [EXCLUDE_FROM_ALL])
#
# Relative paths given to the function are taken from the current source
# folder. The package finds its own files from this file's place, so it can
# be installed or unpacked under any prefix.
if(CMAKE_VERSION VERSION_LESS 3.24)
  set(Chunkpack_FOUND FALSE)
  set(Chunkpack_NOT_FOUND_MESSAGE "Chunkpack needs CMake 3.24 or later")
  return()
endif()

get_filename_component(_chunkpack_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(Chunkpack_STUB_X86 "${_chunkpack_prefix}/share/chunkpack/stubs/x86/bootstrapper.exe")
set(Chunkpack_STUB_X64 "${_chunkpack_prefix}/share/chunkpack/stubs/x64/bootstrapper.exe")
if(CMAKE_HOST_WIN32)
  set(_chunkpack_program "${_chunkpack_prefix}/bin/chunkpack.exe")
else()
  set(_chunkpack_program "${_chunkpack_prefix}/bin/chunkpack")
endif()
foreach(_chunkpack_file IN ITEMS "${_chunkpack_program}" "${Chunkpack_STUB_X86}" "${Chunkpack_STUB_X64}")
  if(NOT EXISTS "${_chunkpack_file}")
    set(Chunkpack_FOUND FALSE)
    set(Chunkpack_NOT_FOUND_MESSAGE "the package is incomplete: ${_chunkpack_file} is missing")
    return()
  endif()
endforeach()

if(NOT TARGET Chunkpack::chunkpack)
  add_executable(Chunkpack::chunkpack IMPORTED GLOBAL)
  set_target_properties(Chunkpack::chunkpack PROPERTIES
    IMPORTED_LOCATION "${_chunkpack_program}"
    CHUNKPACK_STUB_X86 "${Chunkpack_STUB_X86}"
    CHUNKPACK_STUB_X64 "${Chunkpack_STUB_X64}")
endif()

# Adds <target>, which packs <file> (relative: in the current binary
# folder) from the stub, the setup program SETUP (started by the installer)
# and the further FILES and VALUES, in the order of the shipped installers:
# the VALUES, "executable32" naming the setup (unless VALUES set it), the
# setup as "installer32", the FILES. PRODUCT_NAME, VENDOR_NAME, VERSION and
# ICON set the installer's identity; OPTIONS passes further options of
# `chunkpack build` (--file-description TEXT ...). Paths may be generator
# expressions ($<TARGET_FILE:setup>). The installer is packed again when the
# stub, the packer or any input file changes (and, with Ninja, when the
# arguments change); built by default unless EXCLUDE_FROM_ALL. A value may
# not hold ";" (a CMake list separator).
function(chunkpack_add_installer target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "EXCLUDE_FROM_ALL"
    "OUTPUT;SETUP;PRODUCT_NAME;VENDOR_NAME;VERSION;ICON;STUB" "FILES;VALUES;OPTIONS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "chunkpack_add_installer: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  foreach(required OUTPUT SETUP)
    if(NOT arg_${required})
      message(FATAL_ERROR "chunkpack_add_installer: ${required} is required")
    endif()
  endforeach()
  _chunkpack_stub_path(stub "${arg_STUB}")
  foreach(path_argument SETUP ICON)
    if(DEFINED arg_${path_argument})
      _chunkpack_absolute(arg_${path_argument} "${arg_${path_argument}}")
    endif()
  endforeach()
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE OUTPUT_VARIABLE output)

  set(entries)
  set(inputs "${stub}" "${arg_SETUP}")
  set(executable_given FALSE)
  foreach(value IN LISTS arg_VALUES)
    _chunkpack_split(key ignored "${value}" VALUES)
    if(key STREQUAL "executable32")
      set(executable_given TRUE)
    endif()
    list(APPEND entries --value "${value}")
  endforeach()
  if(NOT executable_given)
    # The setup's literal file name (not the reference %installer32%, which
    # a Windows command shell might expand).
    list(APPEND entries --value "executable32=$<PATH:GET_FILENAME,${arg_SETUP}>")
  endif()
  list(APPEND entries --file "installer32=${arg_SETUP}")
  foreach(file IN LISTS arg_FILES)
    _chunkpack_split(key path "${file}" FILES)
    _chunkpack_absolute(path "${path}")
    list(APPEND entries --file "${key}=${path}")
    list(APPEND inputs "${path}")
  endforeach()

  set(identity)
  foreach(pair IN ITEMS "PRODUCT_NAME;--product-name" "VENDOR_NAME;--vendor-name" "VERSION;--file-version"
                        "ICON;--icon")
    list(GET pair 0 name)
    list(GET pair 1 option)
    if(DEFINED arg_${name})
      list(APPEND identity ${option} "${arg_${name}}")
    endif()
  endforeach()
  if(DEFINED arg_ICON)
    list(APPEND inputs "${arg_ICON}")
  endif()

  cmake_path(GET output PARENT_PATH output_dir)
  file(MAKE_DIRECTORY "${output_dir}")
  add_custom_command(OUTPUT "${output}"
    COMMAND Chunkpack::chunkpack build --stub "${stub}" --out "${output}" ${entries} ${identity} ${arg_OPTIONS}
    DEPENDS ${inputs} "$<TARGET_FILE:Chunkpack::chunkpack>"
    COMMENT "Packing the installer ${arg_OUTPUT}"
    VERBATIM)
  set(all ALL)
  if(arg_EXCLUDE_FROM_ALL)
    set(all)
  endif()
  add_custom_target(${target} ${all} DEPENDS "${output}")
endfunction()

# The stub that STUB names: the installed x86 one by default.
function(_chunkpack_stub_path out stub)
  if(stub STREQUAL "" OR stub STREQUAL "x86")
    get_target_property(path Chunkpack::chunkpack CHUNKPACK_STUB_X86)
  elseif(stub STREQUAL "x64")
    get_target_property(path Chunkpack::chunkpack CHUNKPACK_STUB_X64)
  else()
    _chunkpack_absolute(path "${stub}")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# A path taken from the current source folder; a generator expression as it is.
function(_chunkpack_absolute out path)
  if(NOT path MATCHES "^\\$<")
    cmake_path(ABSOLUTE_PATH path BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# KEY=REST of a FILES or VALUES item.
function(_chunkpack_split key_out rest_out item what)
  string(FIND "${item}" "=" equals)
  if(equals LESS 0)
    message(FATAL_ERROR "chunkpack_add_installer: ${what} item \"${item}\" is not KEY=...")
  endif()
  string(SUBSTRING "${item}" 0 ${equals} key)
  math(EXPR rest_begin "${equals} + 1")
  string(SUBSTRING "${item}" ${rest_begin} -1 rest)
  set(${key_out} "${key}" PARENT_SCOPE)
  set(${rest_out} "${rest}" PARENT_SCOPE)
endfunction()
