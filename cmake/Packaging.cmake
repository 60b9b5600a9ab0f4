# Packages made with CPack from a build tree (`cpack --config
# build/<preset>/CPackConfig.cmake`, or `cpack -G DEB` in the build folder),
# as .tar.gz and .deb, one per component:
#   sdk        the headers, libcustomapp.so, the CMake package, customapp.pc,
#              the documentation and the example applications with their
#              stand-in host and, from a cross build, the toolchain file that
#              builds applications for the target against the SDK;
#   simulator  gateway-sim, gateway-sim-control and gateway-sim-decode with
#              their manual pages,
#              for the PC.
# A cross build packs the SDK only: its simulator would not run on the PC.
# The Debian packages install under /usr (the cross SDK under the cross
# toolchain's /usr/arm-linux-gnueabihf, where qemu-arm -L finds its library),
# own neither /opt nor /usr/local, carry their copyright file in
# /usr/share/doc/PACKAGE and declare what they need.

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
    # A cross SDK is installed on the PC, into the cross toolchain's tree.
    # Its library is for the target: dpkg-shlibdeps cannot read it, and what
    # it needs comes with the cross compiler.
    set(CPACK_DEBIAN_SDK_PACKAGE_ARCHITECTURE all)
    set(CPACK_PACKAGING_INSTALL_PREFIX "/usr/${CUSTOMAPP_TARGET_TRIPLE}")
    set(CPACK_DEBIAN_SDK_PACKAGE_DEPENDS "g++-${CUSTOMAPP_TARGET_TRIPLE}, libc6-dev-${CUSTOMAPP_PACKAGE_ARCH}-cross")
    set(CPACK_DEBIAN_SDK_PACKAGE_RECOMMENDS "qemu-user, cmake, pkg-config")
    set(CPACK_DEBIAN_SDK_PACKAGE_SUGGESTS gateway-sim)
else()
    set(CPACK_COMPONENTS_ALL sdk simulator)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CUSTOMAPP_PACKAGE_ARCH
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(NOT CUSTOMAPP_PACKAGE_ARCH)
        set(CUSTOMAPP_PACKAGE_ARCH "${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_SDK_PACKAGE_SHLIBDEPS ON)
    set(CPACK_DEBIAN_SDK_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_SDK_PACKAGE_RECOMMENDS "g++, cmake, pkg-config")
    set(CPACK_DEBIAN_SDK_PACKAGE_SUGGESTS gateway-sim)
    set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SHLIBDEPS ON)
endif()
set(CUSTOMAPP_SDK_PACKAGE "customapp-sdk-${CUSTOMAPP_PACKAGE_ARCH}")

# Documentation, in share/doc/PACKAGE of the prefix (a Debian package of the
# cross SDK moves it to /usr/share/doc: cmake/CPackMoveDocs.cmake).
set(CUSTOMAPP_SDK_DOC "${CMAKE_INSTALL_DATADIR}/doc/${CUSTOMAPP_SDK_PACKAGE}")
install(FILES README.md cmake/copyright DESTINATION ${CUSTOMAPP_SDK_DOC} COMPONENT sdk)
# The examples with their stand-in host and the CMake project that builds
# them against the SDK (the repository's own examples/CMakeLists.txt is not
# for users).
install(DIRECTORY examples/ DESTINATION ${CUSTOMAPP_SDK_DOC}/examples COMPONENT sdk
    PATTERN "examples/CMakeLists.txt" EXCLUDE)
if(TARGET gateway-sim)
    install(FILES sim/README.md cmake/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/gateway-sim
        COMPONENT simulator)
endif()

set(CPACK_PACKAGE_NAME customapp)
set(CPACK_PACKAGE_VENDOR "Custom application SDK")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Interface library for custom gateway applications")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR TGZ DEB)
# The folder an archive unpacks into: the SDK's own name for the cross SDK;
# the native archives of the SDK and the simulator share one prefix folder.
if(CMAKE_CROSSCOMPILING)
    set(CPACK_PACKAGE_FILE_NAME "customapp-sdk-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
else()
    set(CPACK_PACKAGE_FILE_NAME "customapp-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
endif()
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_SDK_FILE_NAME "customapp-sdk-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
set(CPACK_ARCHIVE_SIMULATOR_FILE_NAME "gateway-sim-${PROJECT_VERSION}-${CUSTOMAPP_PACKAGE_ARCH}")
set(CPACK_DEBIAN_SDK_PACKAGE_NAME "${CUSTOMAPP_SDK_PACKAGE}")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME gateway-sim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Custom application SDK team")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
# A component's description: its summary line, then the long text.
set(CPACK_COMPONENT_SDK_DESCRIPTION "SDK for custom applications of the in-vehicle gateway
The interface library libcustomapp.so with its headers, CMake package and
pkg-config file, its documentation and example applications.")
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION "Simulator of the in-vehicle gateway's platform services
gateway-sim serves the gateway's platform services (CAN, J1939, J1708,
virtual EEPROM, plug-in jobs) on a PC, for applications built against
libcustomapp.so; gateway-sim-control sends it operator commands;
gateway-sim-decode decodes candump logs with DBC files.")
set(CPACK_PRE_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/CPackMoveDocs.cmake")
set(CPACK_CUSTOMAPP_SDK_DOC "${CUSTOMAPP_SDK_DOC}")
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_CURRENT_LIST_DIR}/CPackPerGenerator.cmake")
include(CPack)
