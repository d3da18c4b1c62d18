# Every header is included by its path from the source root
# ("usbio/Component.h"). Putting the source root on the include path would let
# any folder include any other, so instead each target publishes the headers
# it lists in a folder of its own in the build tree, under the same paths:
#
#     build/include/<target>/usbio/Component.h   ->  #include "<source>/usbio/Component.h"
#
# A library's folder is PUBLIC, a program's PRIVATE; headers named *_p.h stay
# PRIVATE to their target. A target therefore finds its own headers and those
# of the targets it links, and no others: an include of a layer it does not
# link fails to compile. tests/codebase/tst_layers checks the finer rules that a target
# cannot express (which folder may include which, and where host headers may
# be used).
#
# A header that is in no target's source list cannot be included at all: list
# it with the sources of its target.

# Publishes the headers of target. Call it once, after add_library or
# add_executable; sources added later (target_sources) are published too.
function(vemo_headers target)
    set(public_root ${CMAKE_BINARY_DIR}/include/${target})
    set(private_root ${CMAKE_BINARY_DIR}/include-private/${target})
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(scope PRIVATE)
    else()
        set(scope PUBLIC)
    endif()
    target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${public_root}>
                               PRIVATE $<BUILD_INTERFACE:${private_root}>)
    # The forwarding headers are written once the whole tree is configured,
    # so that every source of the target is known by then.
    cmake_language(EVAL CODE "
        cmake_language(DEFER DIRECTORY [[${CMAKE_SOURCE_DIR}]]
                       CALL _vemo_write_forwarders [[${target}]] [[${public_root}]]
                            [[${private_root}]])")
endfunction()

# Writes one forwarding header per listed header, rewriting only what
# changed (an unchanged header keeps its time stamp, so nothing rebuilds), and
# removes the forwarders of headers no longer listed.
function(_vemo_write_forwarders target public_root private_root)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(written)
    foreach(source IN LISTS sources)
        if(NOT source MATCHES "\\.h$")
            continue()
        endif()
        get_filename_component(header ${source} ABSOLUTE BASE_DIR ${source_dir})
        file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${header})
        if(relative MATCHES "^\\.\\./")
            message(FATAL_ERROR "${target}: ${header} lies outside the source tree")
        endif()
        if(relative MATCHES "_p\\.h$")
            set(forwarder ${private_root}/${relative})
        else()
            set(forwarder ${public_root}/${relative})
        endif()
        file(CONFIGURE OUTPUT ${forwarder}
             CONTENT "#pragma once\n#include \"${header}\"\n" @ONLY)
        list(APPEND written ${forwarder})
    endforeach()
    foreach(root ${public_root} ${private_root})
        file(MAKE_DIRECTORY ${root})
        file(GLOB_RECURSE existing LIST_DIRECTORIES false ${root}/*)
        foreach(old IN LISTS existing)
            if(NOT old IN_LIST written)
                file(REMOVE ${old})
            endif()
        endforeach()
    endforeach()
endfunction()
