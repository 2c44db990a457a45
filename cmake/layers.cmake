# The firmware folders from the lowest layer to the highest. A folder may
# include headers of its own folder, of the folders below it and of the
# platform API, never of a folder above it; its library links only the
# layer below. The print calls (core/dcprintapl.h) and the fatal path reach
# the console and the drivers through hooks start-up installs.
# core/main.cpp is the program itself, above every layer.
set(ZOK2_FW_LAYERS core drivers serial hostlink net routing console)

# Fails (FATAL_ERROR) naming every include of a higher layer's header in the
# firmware folders under `root`.
function(zok2_check_layers root)
    set(violations "")
    set(checked 0)
    set(rank 0)
    foreach(folder IN LISTS ZOK2_FW_LAYERS)
        file(GLOB sources ${root}/${folder}/*.cpp ${root}/${folder}/*.h)
        list(FILTER sources EXCLUDE REGEX "/core/main\\.cpp$")
        foreach(source IN LISTS sources)
            math(EXPR checked "${checked} + 1")
            file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
            foreach(line IN LISTS includes)
                string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" header "${line}")
                set(other_rank 0)
                foreach(other IN LISTS ZOK2_FW_LAYERS)
                    if(other_rank GREATER rank AND EXISTS ${root}/${other}/${header})
                        file(RELATIVE_PATH name ${root} ${source})
                        string(APPEND violations
                               "\n  ${name} includes \"${header}\" of ${other}/, a higher layer")
                    endif()
                    math(EXPR other_rank "${other_rank} + 1")
                endforeach()
            endforeach()
        endforeach()
        math(EXPR rank "${rank} + 1")
    endforeach()
    if(violations)
        string(REPLACE ";" " < " order "${ZOK2_FW_LAYERS}")
        message(FATAL_ERROR "firmware layers (${order}) broken:${violations}")
    endif()
    message(STATUS "firmware layers: ${checked} files include only their own or lower layers")
endfunction()

# As a script: cmake -DZOK2_SOURCE_ROOT=<tree> -P layers.cmake
if(CMAKE_SCRIPT_MODE_FILE AND CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
    zok2_check_layers(${ZOK2_SOURCE_ROOT})
endif()
