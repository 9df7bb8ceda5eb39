# Installs the build into a fresh prefix, builds the consumer project against
# it twice, through find_package(quelm 1.0) and through pkg-config, and runs
# both: the install is tested like code.
set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})

# find_package, with the version a host asks for.
run("consumer configure" ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX})
run("consumer build" ${CMAKE_COMMAND} --build ${WORK}/build)
run("consumer (find_package)" ${WORK}/build/consumer)
message("find_package: ${out}")

# pkg-config, as a Makefile would use it.
file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "${pc_dirs}")
run("pkg-config --cflags --libs" pkg-config --cflags --libs quelm)
string(STRIP "${out}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run("pkg-config --variable=sampler_library" pkg-config --variable=sampler_library quelm)
string(STRIP "${out}" sampler)
if(NOT EXISTS "${sampler}")
  message(FATAL_ERROR "pkg-config names ${sampler} as the sampler library, which is not there")
endif()
run("pkg-config --modversion" pkg-config --modversion quelm)
string(STRIP "${out}" version)
if(NOT version VERSION_GREATER_EQUAL 1.0)
  message(FATAL_ERROR "quelm.pc gives version ${version}")
endif()
run("consumer build (pkg-config)" ${CXX} -std=c++20 ${SOURCE}/consumer.cpp "-DQUELM_SAMPLER_LIBRARY=\"${sampler}\""
    ${flags} -o ${WORK}/consumer-pc)
run("consumer (pkg-config)" ${WORK}/consumer-pc)
message("pkg-config: ${out}")
if(NOT out MATCHES "status 259 Operating mode is not specified")
  message(FATAL_ERROR "the consumer did not find the virtual sampler")
endif()

# The runtime carries a versioned name, which is what programs record.
file(GLOB runtime ${prefix}/lib*/libquelmrt.so.1 ${prefix}/lib/*/libquelmrt.so.1)
if(NOT runtime)
  message(FATAL_ERROR "no libquelmrt.so.1 under ${prefix}")
endif()
run("readelf" readelf -d ${WORK}/consumer-pc)
if(NOT out MATCHES "NEEDED[^\n]*libquelmrt\\.so\\.1\\]")
  message(FATAL_ERROR "the consumer does not record libquelmrt.so.1:\n${out}")
endif()

# The man pages render, without a warning from the formatter.
file(GLOB pages ${prefix}/share/man/man1/*.1)
list(LENGTH pages count)
if(count LESS 2)
  message(FATAL_ERROR "man pages missing: ${pages}")
endif()
foreach(page ${pages})
  execute_process(COMMAND man --warnings -l ${page} RESULT_VARIABLE rc OUTPUT_VARIABLE text ERROR_VARIABLE warnings)
  if(rc OR NOT warnings STREQUAL "" OR NOT text MATCHES "NAME")
    message(FATAL_ERROR "man -l ${page} (${rc}):\n${warnings}\n${text}")
  endif()
endforeach()

# The installed README names the installed programs, not the build tree.
file(READ ${prefix}/share/doc/quelm/README.md readme)
if(readme MATCHES "build/bin/" OR NOT EXISTS ${prefix}/share/doc/quelm/docs/SIM.md)
  message(FATAL_ERROR "the installed README still points into the build tree, or docs/ is missing")
endif()
message("installed: ${count} man pages, README and docs")
