# Installs the build into a fresh prefix, then builds and runs a small program against it, once
# through find_package(velmdsd) and once through pkg-config, and runs the installed tool.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DCC=... -DFLAGS=... -P install_test.cmake
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/install/app -B ${WORK_DIR}/app -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${CC} "-DCMAKE_C_FLAGS=${FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${FLAGS}"
    "-DCMAKE_BUILD_RPATH=${prefix}/lib")
run(${CMAKE_COMMAND} --build ${WORK_DIR}/app)
run(${WORK_DIR}/app/app)

file(GLOB pcdir ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pcdir}")
run(pkg-config --cflags --libs velmdsd)
string(STRIP "${out}" flags)
# Plain paths into the prefix, and no run path: where the libraries lie is the user's choice.
if(NOT flags MATCHES "-L${prefix}/lib" OR flags MATCHES "//|/\\.\\./|rpath")
  message(FATAL_ERROR "pkg-config gives: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags} ${FLAGS}")
run(${CC} ${SOURCE_DIR}/tests/install/app/app.c -o ${WORK_DIR}/app-pc ${flags})
file(GLOB libdir ${prefix}/lib*/libvelmdsd.so ${prefix}/lib/*/libvelmdsd.so)
get_filename_component(libdir "${libdir}" DIRECTORY)
set(ENV{LD_LIBRARY_PATH} "${libdir}")
run(${WORK_DIR}/app-pc)

# The Java classes, when the build made them.
foreach(jar velm.jar velmdsd.jar)
  if(EXISTS ${BUILD_DIR}/${jar} AND NOT EXISTS ${prefix}/share/java/${jar})
    message(FATAL_ERROR "${jar} is built but not installed in share/java")
  endif()
endforeach()

run(${prefix}/bin/velmdsd --version)
if(NOT out MATCHES "^velmdsd ")
  message(FATAL_ERROR "the installed tool says: ${out}")
endif()
