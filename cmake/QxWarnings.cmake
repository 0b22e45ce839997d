# Warning flags for the project's own code. Test code gets the same list; CI adds -Werror.
function(qx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wnon-virtual-dtor
                         -Wformat=2 -Wno-format-nonliteral)
  if(QX_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
