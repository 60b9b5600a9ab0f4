# Read by CPack for each generator: an archive unpacks into one folder that
# is the prefix itself; a Debian package installs under its fixed prefix.
if(CPACK_GENERATOR STREQUAL "TGZ")
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
