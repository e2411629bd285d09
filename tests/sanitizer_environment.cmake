# Included by CTest when the tree is built with the sanitizers: leak checking on for every
# test, with the one suppression the module's design needs.
set(ENV{ASAN_OPTIONS} "detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1")
set(ENV{LSAN_OPTIONS} "suppressions=${CMAKE_CURRENT_LIST_DIR}/lsan.supp:print_suppressions=0")
set(ENV{UBSAN_OPTIONS} "print_stacktrace=1:halt_on_error=1")
