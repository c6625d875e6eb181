# Builds the Debian packages of the build tree (cpack -G DEB), checks their contents and lintian's verdict,
# unpacks them into one scratch directory and, from that tree, runs every tool's --help and --version and
# builds and runs a C host twice (through find_package(Karvex) and through pkg-config karvex) and a C++ host
# of the Fiscal control. Run with cmake -P (see CMakeLists.txt).
cmake_minimum_required(VERSION 3.25)
file(REMOVE_RECURSE ${KARVEX_SCRATCH})
string(REPLACE "," ";" KARVEX_TOOLS "${KARVEX_TOOLS}")
set(root ${KARVEX_SCRATCH}/root)
set(prefix ${root}/usr)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(${KARVEX_CPACK} -G DEB --config ${KARVEX_BUILD_DIR}/CPackConfig.cmake -B ${KARVEX_SCRATCH}/deb)
set(packages libkarvex0 libkarvex-dev karvex-tools karvexd python3-karvex)
file(GLOB debs ${KARVEX_SCRATCH}/deb/*.deb)
set(contents "")
foreach(package IN LISTS packages)
  file(GLOB deb ${KARVEX_SCRATCH}/deb/${package}_*.deb)
  if(NOT deb)
    message(FATAL_ERROR "cpack made no ${package} package: ${debs}")
  endif()
  run(dpkg-deb -c ${deb})
  string(APPEND contents "${out}")
  # Every package says where it comes from and under which licence.
  if(NOT out MATCHES "\\./usr/share/doc/${package}/copyright\n" OR NOT out MATCHES "/usr/share/doc/${package}/changelog\\.gz")
    message(FATAL_ERROR "${package} lacks its copyright file or changelog:\n${out}")
  endif()
  run(dpkg-deb -x ${deb} ${root})
endforeach()
set(out "${contents}")

set(expected "/usr/lib/(.*/)?libkarvex\\.so\\.[0-9]+" "/usr/include/karvex/karvex\\.h" "/usr/include/karvex/fiscal\\.h"
             "/usr/lib/(.*/)?cmake/Karvex/KarvexConfig\\.cmake" "/usr/lib/(.*/)?pkgconfig/karvex\\.pc"
             "/usr/lib/python3/dist-packages/karvex\\.py")
foreach(tool IN LISTS KARVEX_TOOLS)
  list(APPEND expected "/usr/bin/${tool}\n" "/usr/share/man/man1/${tool}\\.1\\.gz")
endforeach()
if("karvexd" IN_LIST KARVEX_TOOLS)
  list(APPEND expected "/usr/lib/systemd/system/karvexd\\.service")
endif()
foreach(path IN LISTS expected)
  if(NOT out MATCHES "\\.${path}")
    message(FATAL_ERROR "the packages lack ${path}:\n${out}")
  endif()
endforeach()
# The script that creates the service's user goes with the service's package; the library's has the
# shlibs file (and with it the ldconfig trigger).
file(GLOB deb ${KARVEX_SCRATCH}/deb/karvexd_*.deb)
run(dpkg-deb --info ${deb} postinst)
file(GLOB deb ${KARVEX_SCRATCH}/deb/libkarvex0_*.deb)
run(dpkg-deb --info ${deb} shlibs)
run(dpkg-deb --info ${deb} triggers)

# lintian, where it is installed: no errors.
find_program(LINTIAN lintian)
if(LINTIAN)
  execute_process(COMMAND ${LINTIAN} --fail-on error ${debs}
    RESULT_VARIABLE rc OUTPUT_VARIABLE lint ERROR_VARIABLE lint)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "lintian found errors:\n${lint}")
  endif()
  message(STATUS "lintian:\n${lint}")
endif()

set(ENV{QT_QPA_PLATFORM} offscreen)
foreach(tool IN LISTS KARVEX_TOOLS)
  run(${prefix}/bin/${tool} --help)
  if(NOT out MATCHES "${tool}")
    message(FATAL_ERROR "${tool} --help from the package printed no usage:\n${out}")
  endif()
  run(${prefix}/bin/${tool} --version)
  if(NOT out MATCHES "^${tool} [0-9]+\\.[0-9]+\\.[0-9]+\n$")
    message(FATAL_ERROR "${tool} --version printed: ${out}")
  endif()
endforeach()

file(GLOB_RECURSE pc ${prefix}/*/karvex.pc)
get_filename_component(pcdir ${pc} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)

# find_package
run(${CMAKE_COMMAND} -S ${KARVEX_HOST_SOURCE} -B ${KARVEX_SCRATCH}/cmake-host -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${KARVEX_C_COMPILER})
run(${CMAKE_COMMAND} --build ${KARVEX_SCRATCH}/cmake-host)
run(${KARVEX_SCRATCH}/cmake-host/karvex_host)
if(NOT out MATCHES "^karvex [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "unexpected output of the CMake-built host: ${out}")
endif()
run(${KARVEX_SCRATCH}/cmake-host/karvex_cpp_host)
if(NOT out MATCHES "^karvex\\+\\+ ")
  message(FATAL_ERROR "unexpected output of the C++ host: ${out}")
endif()

# pkg-config
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(pkg-config --cflags --libs karvex)
separate_arguments(flags UNIX_COMMAND "${out}")
run(${KARVEX_C_COMPILER} ${KARVEX_HOST_SOURCE}/host.c ${flags} -Wl,-rpath,${libdir} -o ${KARVEX_SCRATCH}/pc-host)
run(${KARVEX_SCRATCH}/pc-host)
message(STATUS "${deb}: contents, tools and find_package and pkg-config hosts checked in ${root}")
