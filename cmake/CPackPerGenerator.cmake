# Read by CPack for each generator: an archive unpacks into one folder that
# is the prefix itself; a Debian package installs under its fixed prefix.
if(CPACK_GENERATOR STREQUAL "TGZ")
    set(CPACK_PACKAGING_INSTALL_PREFIX "")
    set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
    # Stripped, as the Debian packages are (their debug information is in
    # the -dbgsym packages).
    set(CPACK_STRIP_FILES ON)
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
    # A package's summary line is the first line of its component's
    # description, not the project's summary.
    unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
endif()
