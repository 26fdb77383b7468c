# Prints the size of the built installer: it is the first thing a user
# downloads, and the budget is 300 KB.
file(SIZE "${FILE}" bytes)
math(EXPR kib "(${bytes} + 1023) / 1024")
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${bytes} bytes (${kib} KiB; budget 300 KB)")
