# Builds that look for faults rather than ship: the libFuzzer harnesses of
# fuzz/ (clang only) and ThreadSanitizer. Each belongs in a build directory
# of its own (scripts/fuzz.sh uses build-fuzz, scripts/tsan.sh build-tsan).
option(TARVEL_FUZZ "Build the libFuzzer harnesses in fuzz/ with ASan and UBSan (clang)" OFF)
option(TARVEL_TSAN "Build with ThreadSanitizer" OFF)

if(TARVEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TARVEL_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  # Every library carries the coverage instrumentation; only the harnesses
  # link libFuzzer's main (fuzz/CMakeLists.txt).
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

if(TARVEL_TSAN)
  if(TARVEL_SANITIZE OR TARVEL_FUZZ)
    message(FATAL_ERROR "TARVEL_TSAN cannot be combined with TARVEL_SANITIZE or TARVEL_FUZZ")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()
