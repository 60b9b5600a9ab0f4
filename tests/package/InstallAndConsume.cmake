# Installs the build into a scratch prefix, then configures, builds and runs
# an application that finds the library with find_package(CustomApp) and
# another that uses pkg-config's flags.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
function(run)
    execute_process(COMMAND ${ARGV} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "failed (${result}): ${ARGV}")
    endif()
endfunction()
run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")
run(${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/consumer" -B "${WORK_DIR}/build" -G "${GENERATOR}"
    "-DCMAKE_PREFIX_PATH=${prefix}")
run(${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run("${WORK_DIR}/build/version_report")
file(GLOB pc_file "${prefix}/lib*/pkgconfig/customapp.pc")
if(NOT pc_file)
    message(FATAL_ERROR "customapp.pc was not installed")
endif()
