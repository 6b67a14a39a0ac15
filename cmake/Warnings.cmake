# SPDX-License-Identifier: Apache-2.0
# Warnings are errors on every compiler we build with.
add_compile_options(-Wall -Wextra -Werror -Wshadow)
