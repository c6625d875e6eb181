# Installs the build into a scratch prefix, then builds and runs a C host against it twice: through
# find_package(Karvex) and through pkg-config karvex. Run with cmake -P (see CMakeLists.txt).
set(prefix ${KARVEX_SCRATCH}/prefix)
file(REMOVE_RECURSE ${KARVEX_SCRATCH})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${KARVEX_BUILD_DIR} --prefix ${prefix})
file(GLOB_RECURSE config ${prefix}/*/KarvexConfig.cmake)
file(GLOB_RECURSE pc ${prefix}/*/karvex.pc)
if(NOT config OR NOT pc OR NOT EXISTS ${prefix}/include/karvex/karvex.h)
  message(FATAL_ERROR "install is missing KarvexConfig.cmake, karvex.pc or karvex/karvex.h")
endif()
get_filename_component(libdir ${pc} DIRECTORY)
get_filename_component(libdir ${libdir} DIRECTORY)

# find_package
run(${CMAKE_COMMAND} -S ${KARVEX_HOST_SOURCE} -B ${KARVEX_SCRATCH}/cmake-host -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${KARVEX_C_COMPILER})
run(${CMAKE_COMMAND} --build ${KARVEX_SCRATCH}/cmake-host)
run(${KARVEX_SCRATCH}/cmake-host/karvex_host)
if(NOT out MATCHES "^karvex [0-9]+\\.[0-9]+\\.[0-9]+")
  message(FATAL_ERROR "unexpected output of the CMake-built host: ${out}")
endif()

# pkg-config
get_filename_component(pcdir ${pc} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pcdir})
run(pkg-config --cflags --libs karvex)
separate_arguments(flags UNIX_COMMAND "${out}")
run(${KARVEX_C_COMPILER} ${KARVEX_HOST_SOURCE}/host.c ${flags} -Wl,-rpath,${libdir} -o ${KARVEX_SCRATCH}/pc-host)
run(${KARVEX_SCRATCH}/pc-host)
message(STATUS "find_package and pkg-config hosts built and ran against ${prefix}")
