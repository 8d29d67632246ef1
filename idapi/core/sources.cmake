# The format core's sources, relative to this folder: the one list, used by the engine
# library's build and by the fuzzing harnesses' own clang build.
set(IDAPI_CORE_SOURCES
  dbf.cpp
  language.cpp
  expr_parse.cpp
  expr_eval.cpp
  expr_functions.cpp
  expr_dates.cpp
  keys.cpp
  mdx_header.cpp
  mdx_sort.cpp
  mdx_write.cpp
  mdx_define.cpp
  mdx_check.cpp
  messages.cpp)
