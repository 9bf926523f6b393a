# Read by CPack for each generator: the archive unpacks into a folder of its
# own (chunkpack-VERSION-Linux/bin/...), the Debian package into /usr.
if(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
