# Strict warnings for the project's own targets only; dependencies built in
# the tree (minizip, GoogleTest) keep their own settings.
function(vx_warnings target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
endfunction()
