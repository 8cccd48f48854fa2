# Sanitizer flags apply to every target of the tree, so that instrumented and
# uninstrumented code never mix in one binary.
if(CDMA_SANITIZER STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
elseif(CDMA_SANITIZER STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=thread)
elseif(NOT CDMA_SANITIZER STREQUAL "")
  message(FATAL_ERROR "Unknown CDMA_SANITIZER '${CDMA_SANITIZER}'")
endif()
