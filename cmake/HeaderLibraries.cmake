# The header-only libraries the programs use, as INTERFACE targets:
#   kavlet_json   nlohmann-json (Debian: nlohmann-json3-dev)  JSON written by kavlet-flash, read by tests
#   kavlet_cli11  CLI11 (Debian: libcli11-dev)                 the command lines of kavlet-flash and kavlet-head
# A native build finds them through their CMake packages. A cross build (MinGW-w64) must not
# see the host's /usr/include, whose headers are for another C library: it gets a copy of just
# these two libraries' folders in the build tree, taken at configure time.
add_library(kavlet_json INTERFACE)
add_library(kavlet_cli11 INTERFACE)
if(CMAKE_CROSSCOMPILING)
    set(KAVLET_HOST_INCLUDE /usr/include CACHE PATH
        "Where the host keeps nlohmann/ and CLI/ (copied for the cross build)")
    foreach(library "kavlet_json;nlohmann;json.hpp;nlohmann-json3-dev"
                    "kavlet_cli11;CLI;CLI.hpp;libcli11-dev")
        list(GET library 0 target)
        list(GET library 1 folder)
        list(GET library 2 header)
        list(GET library 3 package)
        if(NOT EXISTS ${KAVLET_HOST_INCLUDE}/${folder}/${header})
            message(FATAL_ERROR "No ${KAVLET_HOST_INCLUDE}/${folder}/${header} "
                                "(Debian: apt-get install ${package}, or set KAVLET_HOST_INCLUDE)")
        endif()
        set(staged ${CMAKE_BINARY_DIR}/host-headers/${target})
        file(REMOVE_RECURSE ${staged})
        file(COPY ${KAVLET_HOST_INCLUDE}/${folder} DESTINATION ${staged})
        target_include_directories(${target} SYSTEM INTERFACE ${staged})
    endforeach()
else()
    find_package(nlohmann_json 3.10 REQUIRED CONFIG)
    find_package(CLI11 2.1 REQUIRED CONFIG)
    target_link_libraries(kavlet_json INTERFACE nlohmann_json::nlohmann_json)
    target_link_libraries(kavlet_cli11 INTERFACE CLI11::CLI11)
endif()
