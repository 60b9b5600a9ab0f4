# Packages made with CPack from a build tree (`cpack --config
# build/<preset>/CPackConfig.cmake`), as .tar.gz and .deb, one per component:
#   sdk        the headers, libcustomapp.so, the CMake package, customapp.pc
#              and, from a cross build, the toolchain file that builds
#              applications for the target against the unpacked SDK;
#   simulator  gateway-sim and gateway-sim-control, for the PC.
# A cross build packs the SDK only: its simulator would not run on the PC.

if(CMAKE_CROSSCOMPILING)
    # The toolchain of this build, plus the SDK's own folder as a place to
    # find packages and libraries in: an application configured with it
    # finds CustomApp in the SDK it came with, wherever that was unpacked.
    file(READ "${CMAKE_TOOLCHAIN_FILE}" CUSTOMAPP_TOOLCHAIN_TEXT)
    get_filename_component(CUSTOMAPP_TOOLCHAIN_NAME "${CMAKE_TOOLCHAIN_FILE}" NAME)
    set(CUSTOMAPP_SDK_TOOLCHAIN "${CMAKE_CURRENT_BINARY_DIR}/sdk/${CUSTOMAPP_TOOLCHAIN_NAME}")
    file(WRITE "${CUSTOMAPP_SDK_TOOLCHAIN}" "${CUSTOMAPP_TOOLCHAIN_TEXT}
# Installed with the SDK: the SDK's prefix (two folders up from this file) is
# searched like the target's tree.
get_filename_component(CUSTOMAPP_SDK_ROOT \"\${CMAKE_CURRENT_LIST_DIR}/../..\" ABSOLUTE)
list(APPEND CMAKE_FIND_ROOT_PATH \"\${CUSTOMAPP_SDK_ROOT}\")
")
    install(FILES "${CUSTOMAPP_SDK_TOOLCHAIN}" DESTINATION ${CMAKE_INSTALL_DATADIR}/customapp COMPONENT sdk)
    set(CPACK_COMPONENTS_ALL sdk)
    set(CUSTOMAPP_PACKAGE_ARCH "${CMAKE_SYSTEM_PROCESSOR}")
    if(CUSTOMAPP_PACKAGE_ARCH STREQUAL "arm")
        set(CUSTOMAPP_PACKAGE_ARCH armhf)
    endif()
    # A cross SDK is installed on the PC, beside its native libraries.
    set(CPACK_DEBIAN_SDK_PACKAGE_ARCHITECTURE all)
    set(CPACK_PACKAGING_INSTALL_PREFIX "/opt/customapp-sdk-${CUSTOMAPP_PACKAGE_ARCH}")
else()
    set(CPACK_COMPONENTS_ALL sdk simulator)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CUSTOMAPP_PACKAGE_ARCH
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT CUSTOMAPP_PACKAGE_ARCH)
        set(CUSTOMAPP_PACKAGE_ARCH "${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr/local)
endif()

set(CPACK_PACKAGE_NAME customapp)
set(CPACK_PACKAGE_VENDOR "Custom application SDK")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Interface library for custom gateway applications")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR TGZ DEB)
# The folder an archive unpacks into.
set(CPACK_PACKAGE_FILE_NAME "customapp-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_SDK_FILE_NAME "customapp-sdk-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
set(CPACK_ARCHIVE_SIMULATOR_FILE_NAME "gateway-sim-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
set(CPACK_DEBIAN_SDK_PACKAGE_NAME "customapp-sdk-${CUSTOMAPP_PACKAGE_ARCH}")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME gateway-sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Custom application SDK team")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_DEPENDS "libc6, libstdc++6")
set(CPACK_COMPONENT_SDK_DESCRIPTION "Headers, libcustomapp.so, CMake package and pkg-config file")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION "gateway-sim: the gateway's platform services on a PC")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/CPackPerGenerator.cmake")
include(CPack)
