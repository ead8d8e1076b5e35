# Warnings are errors everywhere in the project's own code.
add_compile_options(-Wall -Wextra -Werror)
