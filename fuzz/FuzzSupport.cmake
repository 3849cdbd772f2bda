# Shared by the fuzzer folders.
include_guard(GLOBAL)

# The .cpp sources of a module library (matching REGEX, when given), with their full paths. A
# fuzzer compiles them itself: the libraries are built without libFuzzer's coverage hooks, and
# without coverage the fuzzer cannot tell a new path through them from an old one. Taken from the
# library target, so the fuzzer follows every unit the library gains or loses. Linking the library
# as well still brings its include folders and dependencies; the symbols compiled here are
# defined already, so the linker takes nothing twice.
function(dovra_fuzz_sources out library)
  cmake_parse_arguments(S "" "REGEX" "" ${ARGN})
  get_target_property(sources ${library} SOURCES)
  get_target_property(dir ${library} SOURCE_DIR)
  list(FILTER sources INCLUDE REGEX "\\.cpp$")
  if(S_REGEX)
    list(FILTER sources INCLUDE REGEX "${S_REGEX}")
  endif()
  list(TRANSFORM sources PREPEND ${dir}/)
  # Compiled here, they still see their library's private headers, and only they do.
  set_source_files_properties(${sources} PROPERTIES INCLUDE_DIRECTORIES
                                                    ${DOVRA_PRIVATE_HEADERS}/${library})
  set(${out} ${sources} PARENT_SCOPE)
endfunction()

# The sanitizer build is a debug build; its fuzzers are optimised a little (as libFuzzer's own
# guidance has it) so that a campaign gets through several times more inputs, with the
# sanitizers' checks and line numbers intact.
function(dovra_fuzz_optimise)
  foreach(target IN LISTS ARGN)
    if(TARGET ${target})
      target_compile_options(${target} PRIVATE -O1 -fno-omit-frame-pointer)
    endif()
  endforeach()
endfunction()
