# Warnings for the project's own targets. Third-party code (GoogleTest, Benchmark) is
# compiled elsewhere and keeps its own flags.
function(conduit_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
    -Wnon-virtual-dtor -Wcast-align -Wunused -Woverloaded-virtual
    -Wformat=2)
  if(CONDUIT_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
