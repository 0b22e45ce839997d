# Warning flags for the project's own code. Test code gets the same list; CI adds -Werror.
# clang also checks the lock annotations (common/thread_annotations.h).
function(qx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                         -Wformat=2 -Wno-format-nonliteral)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety>)
  endif()
  if(QX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
