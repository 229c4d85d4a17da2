# Warnings for everything this project compiles; third-party headers come in
# as system includes and are not affected.
add_compile_options(-Wall -Wextra)
if(CAMKIT_WERROR)
  add_compile_options(-Werror)
endif()
