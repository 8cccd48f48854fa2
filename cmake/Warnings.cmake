# Project targets call cdma_warnings() to get one warning set.
function(cdma_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wcast-align -Wnull-dereference)
endfunction()
