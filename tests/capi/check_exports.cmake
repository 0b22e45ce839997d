# cmake -DNM=nm -DLIBRARY=libqxremoteserver.so -P check_exports.cmake
# Fails unless the library's dynamic symbol table defines exactly the names of the C interface.
set(expected
  DiscoverCommand GetStateOfNorvaneMachine GetStateOfNorvaneProject GetXMLSubText RemoteCallProc
  RemoteCommand RemoteCopyFile StartRemoteServer StopRemoteServer SysAllocString
  SysAllocStringLen SysFreeString SysStringLen TalkByString onReceiveMulticast)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()

set(found)
string(REPLACE "\n" ";" lines "${table}")
foreach(line IN LISTS lines)
  # "address type name"; version-node entries (type A) are not names of code or data.
  if(line MATCHES "^[0-9a-fA-F]* *([A-Za-z]) ([^ @]+)")
    if(NOT CMAKE_MATCH_1 STREQUAL "A")
      list(APPEND found ${CMAKE_MATCH_2})
    endif()
  endif()
endforeach()
list(SORT found)
list(REMOVE_DUPLICATES found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported names differ\n  expected: ${expected}\n  found:    ${found}")
endif()
message(STATUS "the 15 names of the C interface, and no other, are exported")
