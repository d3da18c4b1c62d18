# The package as scripts/package builds it, by the very step it runs
# (scripts/package-build): Debian's compiler and linker flags (fortified
# functions at -O3, where an unchecked result of write() is a warning, and
# so an error), a Release build of the program, and cpack. A build that
# breaks under those flags breaks the README's install path; this test
# sees it first. Skipped, saying so, without dpkg-buildflags.
#
#   cmake -DSOURCE_DIR=... -DBUILD_DIR=... -P CheckPackageBuild.cmake

find_program(DPKG_BUILDFLAGS NAMES dpkg-buildflags)
find_program(BASH NAMES bash)
if(NOT DPKG_BUILDFLAGS OR NOT BASH)
    message("SKIP: dpkg-buildflags is not installed (dpkg-dev; scripts/deps.sh installs it)")
    return()
endif()

execute_process(COMMAND ${BASH} ${SOURCE_DIR}/scripts/package-build ${BUILD_DIR}
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "scripts/package-build ${BUILD_DIR} failed (${result}): "
                        "scripts/package cannot build the package")
endif()

file(GLOB packages ${BUILD_DIR}/vemotool_*.deb)
list(LENGTH packages count)
if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one vemotool_*.deb in ${BUILD_DIR}, found ${count}: ${packages}")
endif()

# Built as Debian builds: the program's compile commands hold its flags, and
# the build's own.
file(READ ${BUILD_DIR}/compile_commands.json commands)
foreach(flag -D_FORTIFY_SOURCE= -fstack-protector-strong -O3 -Werror)
    string(FIND "${commands}" "${flag}" at)
    if(at EQUAL -1)
        message(FATAL_ERROR "the package's compile commands lack ${flag}")
    endif()
endforeach()
message("built ${packages} with Debian's flags")
