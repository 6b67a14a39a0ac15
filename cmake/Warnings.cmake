# Warnings are errors on every compiler we build with.
add_compile_options(-Wall -Wextra -Werror -Wshadow)

# Product code (plugin, archive, overlay, accounting, logger) is built with these
# flags on top, and on the host its allocations go through the host layer's counted,
# fault-injectable allocator.
function(spoolgate_product_target target)
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
  if(NOT WIN32)
    target_compile_options(${target} PRIVATE -fvisibility=hidden)
  endif()
endfunction()

# Links a host target so that its own calls of malloc, calloc, realloc and free reach
# the host layer (counted, and failed on demand), while everything else's do not.
function(spoolgate_wrap_allocations target)
  target_link_options(${target} PRIVATE
    -Wl,--wrap=malloc -Wl,--wrap=calloc -Wl,--wrap=realloc -Wl,--wrap=free)
endfunction()
