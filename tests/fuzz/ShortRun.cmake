# A short fuzzing run for the plain test build, where the core is built with
# g++: the harness and the few sources it reaches are compiled with clang.
#   cmake -DSOURCE_DIR=<repo> -DWORK_DIR=<dir> -DCLANGXX=<clang++> -DSECONDS=<n> -P ShortRun.cmake
set(sources ${SOURCE_DIR}/src/scan/UDVB.cpp ${SOURCE_DIR}/src/scan/Crc32.cpp ${SOURCE_DIR}/src/scan/DvbText.cpp
     ${SOURCE_DIR}/src/text/Cp1251.cpp ${SOURCE_DIR}/src/text/AppPaths.cpp
     ${SOURCE_DIR}/src/device/UDevice.cpp ${SOURCE_DIR}/tests/fuzz/SectionsFuzz.cpp)
file(MAKE_DIRECTORY ${WORK_DIR}/corpus)
set(exe ${WORK_DIR}/scan_sections_fuzz)
execute_process(
  COMMAND ${CLANGXX} -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer
          -I${SOURCE_DIR}/src ${sources} -ldl -lpthread -o ${exe}
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "building the fuzz target failed (${rc})")
endif()
execute_process(COMMAND ${exe} -max_total_time=${SECONDS} -rss_limit_mb=2048 ${WORK_DIR}/corpus
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the fuzz target found a fault (${rc})")
endif()
