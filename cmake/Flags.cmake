# Warnings and sanitizers in one place; every target of ours calls orvel_target_flags().
add_library(orvel_flags INTERFACE)
target_compile_options(orvel_flags INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wno-missing-field-initializers)
if(ORVEL_WERROR)
  target_compile_options(orvel_flags INTERFACE -Werror)
endif()
if(ORVEL_SANITIZE)
  target_compile_options(orvel_flags INTERFACE -fsanitize=${ORVEL_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(orvel_flags INTERFACE -fsanitize=${ORVEL_SANITIZE})
endif()

function(orvel_target_flags target)
  target_link_libraries(${target} PRIVATE orvel_flags)
endfunction()
