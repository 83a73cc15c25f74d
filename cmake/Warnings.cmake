# Every target of the project compiles without warnings; warnings are errors.
# Empty printf formats are part of the error contract ("" gives an empty
# message), so that one warning is switched off.
add_compile_options(-Wall -Wextra -Werror -Wno-format-zero-length)
