# Warnings for the project's own targets, set per target.
function(customapp_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
    if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR MATCHES "^arm")
        # Notes about a parameter-passing change in old compilers; not a warning about our code.
        target_compile_options(${target} PRIVATE -Wno-psabi)
    endif()
endfunction()
