# cmake -DNM=nm -DBINARIES="a;b;..." -P check_one_core.cmake
# Fails when a program or library other than libqxremotecore.so holds its own copy of the core
# (its registry, trace or host singletons): every process must share the one core library.
set(singletons _ZN2qx8RegistryEv _ZN2qx9DiagnosisEv _ZN2qx4HostEv)
foreach(binary IN LISTS BINARIES)
  execute_process(COMMAND ${NM} --defined-only ${binary} OUTPUT_VARIABLE table
                  ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    # A stripped binary has no static symbol table; its dynamic one must do.
    execute_process(COMMAND ${NM} -D --defined-only ${binary} OUTPUT_VARIABLE table
                    RESULT_VARIABLE status)
  endif()
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${binary}")
  endif()
  foreach(name IN LISTS singletons)
    if(table MATCHES " ${name}\n")
      message(FATAL_ERROR "${binary} holds its own copy of ${name}")
    endif()
  endforeach()
endforeach()
message(STATUS "the module, the hosts and the diagnostics library share one core")
