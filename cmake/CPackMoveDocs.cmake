# Run by CPack after the components are installed into its staging folder:
# a Debian package whose prefix is not /usr (the cross SDK) gets its
# documentation where Debian keeps it, /usr/share/doc/PACKAGE.
if(NOT CPACK_GENERATOR STREQUAL "DEB" OR CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    return()
endif()
file(GLOB components LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(staging IN LISTS components)
    set(doc "${staging}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_CUSTOMAPP_SDK_DOC}")
    if(NOT IS_DIRECTORY "${doc}")
        continue()
    endif()
    get_filename_component(name "${doc}" NAME)
    file(MAKE_DIRECTORY "${staging}/usr/share/doc")
    file(RENAME "${doc}" "${staging}/usr/share/doc/${name}")
    # The folder that held it goes too, when nothing else is in it.
    get_filename_component(parent "${doc}" DIRECTORY)
    file(GLOB left "${parent}/*")
    if(NOT left)
        file(REMOVE_RECURSE "${parent}")
    endif()
endforeach()
