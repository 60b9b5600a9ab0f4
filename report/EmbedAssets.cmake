# Writes OUTPUT from TEMPLATE with the files that every report carries inline
# (run by the build whenever one of them changes).
file(READ "${UPLOT_SCRIPT_FILE}" UPLOT_SCRIPT)
file(READ "${UPLOT_STYLE_FILE}" UPLOT_STYLE)
file(READ "${PAGE_SCRIPT_FILE}" PAGE_SCRIPT)
file(READ "${PAGE_STYLE_FILE}" PAGE_STYLE)
foreach(asset UPLOT_SCRIPT UPLOT_STYLE PAGE_SCRIPT PAGE_STYLE)
    string(FIND "${${asset}}" ")asset\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${asset} holds the raw string's end marker")
    endif()
endforeach()
configure_file("${TEMPLATE}" "${OUTPUT}" @ONLY)
